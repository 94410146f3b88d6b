#pragma once
// The agent loading framework (one thread per agent, results merged per date) and the
// date-range filter.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "options.h"
#include "src/summary.h"  // not the runner beside this file

namespace qm::pricing {
struct PricingTable;
}
namespace qm::reader {
class UsageList;
}

namespace qm::all::loader {


struct LoadContext {
  qm::summary::GroupingMode mode;
  const LoadOptions& options;
  const pricing::PricingTable& prices;
};

struct LoaderEntry {
  std::string_view agent_id;
  std::function<AgentLoadResult()> reader;
  std::size_t row_index;
  AgentKind kind;
};
using AgentTable = std::vector<LoaderEntry>;
using TableBuilder = std::function<AgentTable(const LoadContext&)>;

// A row per agent of the registry, in its order.
AgentTable default_agent_table(const LoadContext& context);

struct LoadedUsage {
  std::vector<UsageRow> rows;           // merged, one per date
  std::vector<std::string> detected;    // agent ids, table order
};

std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options);
std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options, const TableBuilder& table);

// One row per label with agent id "all" and the agents' rows as parts.
std::vector<UsageRow> merge_rows_by_label(std::vector<UsageRow> rows);

// A reader's daily groups as rows (days with no tokens give none).
std::vector<UsageRow> to_usage_rows(std::string_view agent_id, const std::vector<UsageGroup>& groups);

// The common tail of most readers: (stable) sort by time unless the reader keeps its own
// order, date filter, daily grouping, rows. Detected when any record was read.
AgentUsage records_to_usage(std::string_view agent_id, std::vector<UsageRecord> records, const LoadOptions& options,
                            RecordOrder order = RecordOrder::ByTime);
// The same for usages collected in the compact form.
AgentUsage list_to_usage(std::string_view agent_id, const reader::UsageList& list, const LoadOptions& options,
                         RecordOrder order = RecordOrder::ByTime);

}  // namespace qm::all::loader
