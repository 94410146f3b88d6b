#pragma once
// The usage events of many rollout files, read on worker threads.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "adapter/codex/parser.h"
#include "parallel.h"

namespace qm::codex::loader {

// All files' events in file order, then line order, whatever the number of workers (one per
// processor at most; the calling thread alone under single-thread) and however the large
// files are cut into parts.
std::vector<parser::CodexUsageEvent> load_rollouts_parallel(const std::vector<std::filesystem::path>& files,
                                                            bool single_thread = false,
                                                            const parallel::PartSizes& sizes = {});

// One file's events read in parts of about part_size bytes on this thread, the last part
// first, as workers may read them, then joined as load_rollouts_parallel joins them.
std::vector<parser::CodexUsageEvent> read_in_parts(const std::filesystem::path& file, std::uint64_t part_size);

}  // namespace qm::codex::loader
