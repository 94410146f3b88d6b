#include <algorithm>
#include <map>

#include "adapter/all/summary.h"
#include "sort.h"

namespace qm::all::summary {

std::uint64_t model_tokens(const ModelUsage& m) {
  return m.input + m.output + m.cache_creation + m.cache_read + m.reasoning;
}

double add_agent_totals(std::vector<AgentTotal>& agents, std::unordered_map<std::string, std::size_t>& index,
                        std::string_view agent, double cost, std::uint64_t tokens) {
  auto [it, inserted] = index.try_emplace(std::string(agent), agents.size());
  if (inserted) agents.push_back(AgentTotal{std::string(agent), 0.0, 0});
  AgentTotal& a = agents[it->second];
  a.cost += cost;
  a.tokens += tokens;
  return a.cost;
}

void add_model_totals(std::vector<ModelTotal>& models, std::unordered_map<std::string, std::size_t>& index,
                      const ModelUsage& usage) {
  auto [it, inserted] = index.try_emplace(usage.model, models.size());
  if (inserted) models.push_back(ModelTotal{usage.model, 0.0, 0});
  models[it->second].cost += usage.cost;
  models[it->second].tokens += model_tokens(usage);
}

SummaryTotals build_summary_totals(const std::vector<UsageRow>& rows) {
  SummaryTotals t;
  std::map<std::string, DayTotal> days;
  std::unordered_map<std::string, std::size_t> agent_index, model_index;
  for (const auto& row : rows) {
    DayTotal& d = days[row.label];
    d.cost += row.cost;
    d.tokens += row.total;
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
    t.total_tokens += row.total;
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
    d.date = label;
    t.daily.push_back(std::move(d));
  }
  return t;
}

}  // namespace qm::all::summary
