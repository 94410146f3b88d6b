#pragma once
// The reader of the agent claude: finds the logs, reads them on worker threads, keeps one
// record per reply and hands the day rows to the framework.
#include <filesystem>
#include <vector>

#include <cctz/time_zone.h>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "options.h"
#include "parallel.h"
#include "pricing/table.h"

namespace qm::claude {

AgentLoadResult load_usage_entries(const all::loader::LoadOptions& options);
// The agent table's reader: Claude prices from a table of its own, not the shared one.
AgentLoadResult run_claude_loader(const all::loader::LoadOptions& options, const pricing::PricingTable& shared);

// The day groups of the log files, one record per reply across all of them, read on up to
// `workers` workers, the large files in parts (`sizes`). A file that cannot be read, in any
// of its parts, counts no record and goes to `unread`.
std::vector<UsageGroup> read_usage_groups(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                          const parallel::PartSizes& sizes, const cctz::time_zone& zone, CostMode mode,
                                          const pricing::PricingTable* prices, UnreadFiles& unread);

}  // namespace qm::claude
