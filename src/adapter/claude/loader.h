#pragma once
// The reader of the agent claude: finds the logs, reads them on worker threads, keeps one
// record per reply and hands the day rows to the framework.
#include "adapter/all/loader.h"
#include "adapter/all/types.h"

namespace qm::claude {

AgentLoadResult load_usage_entries(const all::loader::LoadOptions& options);

}  // namespace qm::claude
