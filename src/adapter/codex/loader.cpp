#include "adapter/codex/loader.h"

#include <memory>

#include "parallel.h"

namespace qm::codex::loader {

std::vector<parser::CodexUsageEvent> load_rollouts_parallel(const std::vector<std::filesystem::path>& files,
                                                            bool single_thread) {
  using Events = std::vector<parser::CodexUsageEvent>;
  auto per_file = parallel::map_files<Events>(files, parallel::worker_count(files.size(), single_thread), [] {
    return [reader = std::make_unique<parser::RolloutReader>()](const std::filesystem::path& f) {
      return parser::parse_rollout_file(f, *reader);
    };
  });
  Events all;
  for (auto& events : per_file)
    all.insert(all.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
  return all;
}

}  // namespace qm::codex::loader
