#include "adapter/openclaw/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "reader/files.h"
#include "reader/roots.h"
#include "util.h"

namespace qm::openclaw::paths {
namespace {

void walk(const fs::path& directory, std::vector<fs::path>& out, std::vector<util::Unlisted>& unlisted) {
  // A directory that is gone, or is no directory, held nothing to count.
  auto unseen = [&](const fs::path& path, int err) {
    if (err != ENOENT && err != ENOTDIR) unlisted.push_back({path, err});
  };
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return unseen(directory, errno);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) {
      if (errno != 0) unseen(directory, errno);
      return;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    fs::path path = directory / name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) {
        unseen(path, errno);
        continue;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      walk(path, out, unlisted);
    } else if (type == DT_REG && is_session_file_name(name)) {
      out.push_back(std::move(path));
    }
  }
}

}  // namespace

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
  walk(directory, found, unlisted);
  reader::add_unlisted(unlisted, unread);
  std::sort(found.begin(), found.end());
  list.insert(list.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
}

}  // namespace qm::openclaw::paths
