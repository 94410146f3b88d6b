#include "adapter/openclaw/paths.h"

#include <algorithm>

#include "reader/files.h"
#include "reader/roots.h"
#include "util.h"
#include "util_files.h"

namespace qm::openclaw::paths {

std::vector<fs::path> roots() {
  if (auto listed = reader::listed_dirs("OPENCLAW_DIR")) return std::move(*listed);
  auto home = util::home_dir();
  if (!home) return {};
  std::vector<fs::path> candidates;
  for (std::string_view name : {".openclaw", ".clawdbot", ".moltbot", ".moldbot"}) candidates.push_back(fs::path(*home) / name);
  return reader::existing_dirs(candidates);
}

bool is_session_file_name(std::string_view name) {
  auto at = name.find(".jsonl");
  if (at == std::string_view::npos) return false;
  std::string_view rest = name.substr(at);
  return rest == ".jsonl" || rest.starts_with(".jsonl.deleted.") || rest.starts_with(".jsonl.reset.");
}

void collect_session_files(const fs::path& directory, std::vector<fs::path>& list, UnreadFiles& unread) {
  std::vector<fs::path> found;
  std::vector<util::Unlisted> unlisted;
  util::collect_files_named(directory, is_session_file_name, found, &unlisted);
  reader::add_unlisted(unlisted, unread);
  std::sort(found.begin(), found.end());
  list.insert(list.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
}

}  // namespace qm::openclaw::paths
