#include <algorithm>
#include <map>

#include "adapter/all/summary.h"
#include "sort.h"
#include "util.h"

namespace qm::all::summary {

std::uint64_t model_tokens(const ModelUsage& m) {
  return util::saturating_sum({m.input, m.output, m.cache_creation, m.cache_read, m.reasoning});
}

namespace {

// Adds to the total of `name`, appended at the end when new.
Total& add_total(std::vector<Total>& totals, std::unordered_map<std::string, std::size_t>& index, std::string_view name,
                 double cost, std::uint64_t tokens) {
  auto [it, inserted] = index.try_emplace(std::string(name), totals.size());
  if (inserted) totals.push_back(Total{std::string(name), 0.0, 0});
  Total& t = totals[it->second];
  t.cost += cost;
  t.tokens = util::saturating_add(t.tokens, tokens);
  return t;
}

}  // namespace

double add_agent_totals(std::vector<AgentTotal>& agents, std::unordered_map<std::string, std::size_t>& index,
                        std::string_view agent, double cost, std::uint64_t tokens) {
  return add_total(agents, index, agent, cost, tokens).cost;
}

void add_model_totals(std::vector<ModelTotal>& models, std::unordered_map<std::string, std::size_t>& index,
                      const ModelUsage& usage) {
  add_total(models, index, usage.model, usage.cost, model_tokens(usage));
}

SummaryTotals build_summary_totals(const std::vector<UsageRow>& rows) {
  SummaryTotals t;
  std::map<std::string, DayTotal> days;
  std::unordered_map<std::string, std::size_t> agent_index, model_index;
  for (const auto& row : rows) {
    DayTotal& d = days[row.label];
    d.cost += row.cost;
    d.tokens = util::saturating_add(d.tokens, row.total);
    if (!t.period) {
      t.period = SummaryPeriod{row.label, row.label};
    } else {
      if (row.label < t.period->from) t.period->from = row.label;
      if (row.label > t.period->to) t.period->to = row.label;
    }
    if (row.parts) {
      for (const auto& part : *row.parts) add_agent_totals(t.agents, agent_index, part.agent_id, part.cost, part.total);
    } else if (row.agent_id != "all") {
      add_agent_totals(t.agents, agent_index, row.agent_id, row.cost, row.total);
    }
    t.total_cost += row.cost;
    t.total_tokens = util::saturating_add(t.total_tokens, row.total);
    for (const auto& m : row.model_usages) add_model_totals(t.models, model_index, m);
  }
  auto by_cost = [](const auto& a, const auto& b) {
    int c = sort::total_order_compare(a.cost, b.cost);
    if (c != 0) return c > 0;
    return a.tokens > b.tokens;
  };
  std::stable_sort(t.agents.begin(), t.agents.end(), by_cost);
  std::stable_sort(t.models.begin(), t.models.end(), by_cost);
  for (auto& [label, d] : days) {
    d.name = label;
    t.daily.push_back(std::move(d));
  }
  return t;
}

}  // namespace qm::all::summary
