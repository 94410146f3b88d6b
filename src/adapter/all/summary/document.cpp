// The summary's JSON document.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "adapter/all/summary.h"
#include "output.h"
#include "util.h"

namespace qm::all::summary {
namespace {

using nlohmann::json;

json model_objects(const SummaryTotals& t) {
  json models = json::array();
  for (const auto& m : t.models) {
    double pct = t.total_cost > 0 ? m.cost / t.total_cost * 100.0 : 0.0;
    models.push_back({{"model", m.model},
                      {"percentage", output::json_number(pct)},
                      {"totalCost", output::json_number(m.cost)},
                      {"totalTokens", m.tokens}});
  }
  return models;
}

// The agent's own rows: the row itself, or its part in a merged row, carrying the row's label.
std::vector<UsageRow> rows_of_agent(const std::vector<UsageRow>& rows, std::string_view agent) {
  std::vector<UsageRow> out;
  for (const auto& row : rows) {
    if (row.agent_id == agent) {
      out.push_back(row);
      continue;
    }
    if (!row.parts) continue;
    auto it = std::find_if(row.parts->begin(), row.parts->end(),
                           [&](const UsageRow& p) { return p.agent_id == agent; });
    if (it == row.parts->end()) continue;
    UsageRow part = *it;
    part.label = row.label;
    out.push_back(std::move(part));
  }
  return out;
}

bool is_cursor_model(std::string_view name) {
  std::string lower = util::ascii_lower(name);
  return lower.find("composer") != std::string::npos || lower.find("cursor") != std::string::npos ||
         lower == "auto" || lower.starts_with("auto-");
}

json cursor_daily(const SummaryTotals& s, const std::vector<UsageRow>& agent_rows) {
  json days = json::array();
  for (const auto& d : s.daily) {
    double cost = 0;
    std::uint64_t tokens = 0;
    for (const auto& row : agent_rows) {
      if (row.label != d.date) continue;
      for (const auto& m : row.model_usages) {
        if (!is_cursor_model(m.model)) continue;
        cost += m.cost;
        tokens = util::saturating_add(tokens, model_tokens(m));
      }
    }
    days.push_back({{"cost", output::json_number(d.cost)},
                    {"date", d.date},
                    {"tokens", d.tokens},
                    {"cursorModelsCost", output::json_number(cost)},
                    {"cursorModelsTokens", tokens}});
  }
  return days;
}

}  // namespace

namespace detail {
json daily_json(const std::vector<DayTotal>& daily) {
  json days = json::array();
  for (const auto& d : daily)
    days.push_back({{"cost", output::json_number(d.cost)}, {"date", d.date}, {"tokens", d.tokens}});
  return days;
}
}  // namespace detail

json totals_json(const SummaryTotals& t) {
  json agents = json::array();
  for (const auto& a : t.agents)
    agents.push_back({{"agent", a.agent}, {"totalCost", output::json_number(a.cost)}, {"totalTokens", a.tokens}});
  return {{"agents", std::move(agents)},
          {"models", model_objects(t)},
          {"totals", {{"totalCost", output::json_number(t.total_cost)}, {"totalTokens", t.total_tokens}}}};
}

json summary_document(const std::vector<UsageRow>& rows, const SummaryTotals& totals) {
  json doc = totals_json(totals);
  doc["daily"] = detail::daily_json(totals.daily);
  for (auto& agent : doc["agents"]) {
    const std::string id = agent["agent"].get<std::string>();
    auto own = rows_of_agent(rows, id);
    SummaryTotals s = build_summary_totals(own);
    agent["models"] = model_objects(s);
    agent["daily"] = id == "cursor" ? cursor_daily(s, own) : detail::daily_json(s.daily);
    std::uint64_t in = 0, out = 0, write = 0, read = 0;
    for (const auto& r : own) {
      in = util::saturating_add(in, r.input);
      out = util::saturating_add(out, r.output);
      write = util::saturating_add(write, r.cache_creation);
      read = util::saturating_add(read, r.cache_read);
    }
    agent["tokenBreakdown"] = {{"cacheRead", read}, {"cacheWrite", write}, {"input", in}, {"output", out}};
  }
  return doc;
}

}  // namespace qm::all::summary
