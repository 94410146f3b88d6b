#include "adapter/codex/images.h"

#include <memory>
#include <unordered_set>

#include "adapter/codex/home.h"
#include "fast.h"
#include "parallel.h"

namespace qm::codex::images {
namespace {

constexpr std::string_view kCall = "image_generation_call";
constexpr std::string_view kRolloutPrefix = "rollout-";
constexpr std::size_t kDateLength = 10;

}  // namespace

std::optional<std::string_view> image_generation_id(std::string_view line) {
  if (fast::find_text(line, kCall) == std::string_view::npos) return std::nullopt;
  std::size_t open = fast::find_text(line, "\"ig_");
  if (open == std::string_view::npos) return std::nullopt;
  std::size_t close = line.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return line.substr(open + 1, close - open - 1);
}

bool named_before(const std::filesystem::path& file, std::string_view cutoff) {
  const std::string name = file.filename().string();
  if (!name.starts_with(kRolloutPrefix) || name.size() < kRolloutPrefix.size() + kDateLength) return false;
  return std::string_view(name).substr(kRolloutPrefix.size(), kDateLength) < cutoff;
}

bool read_ids(jsonl::LineReader& reader, const std::filesystem::path& file, std::vector<std::string>& ids) {
  const std::size_t before = ids.size();
  bool ok = reader.for_each_line_containing(file, kCall, [&](std::string_view line) {
    if (auto id = image_generation_id(line)) ids.emplace_back(*id);
  });
  if (!ok) ids.resize(before);
  return ok;
}

std::uint64_t count_image_generations(std::string_view cutoff, bool single_thread) {
  auto dirs = home::session_dirs();
  if (!dirs) return 0;
  std::vector<std::filesystem::path> files;
  for (auto& entry : home::unique_rollout_files(*dirs))
    for (auto& file : entry.files)
      if (!named_before(file, cutoff)) files.push_back(std::move(file));

  auto per_file = parallel::map_files<std::vector<std::string>>(
      files, parallel::worker_count(files.size(), single_thread), [] {
        return [reader = std::make_unique<jsonl::LineReader>()](const std::filesystem::path& file) {
          std::vector<std::string> ids;
          read_ids(*reader, file, ids);
          return ids;
        };
      });
  std::unordered_set<std::string> distinct;
  for (auto& ids : per_file)
    for (auto& id : ids) distinct.insert(std::move(id));
  return distinct.size();
}

}  // namespace qm::codex::images
