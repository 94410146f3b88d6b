// The summary's JSON document.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "adapter/all/summary.h"
#include "output.h"
#include "parallel.h"
#include "util.h"

namespace qm::all::summary {
namespace {

using nlohmann::json;

json model_objects(const SummaryTotals& t) {
  json models = json::array();
  for (const auto& m : t.models) {
    double pct = t.total_cost > 0 ? m.cost / t.total_cost * 100.0 : 0.0;
    models.push_back({{"model", m.name},
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
      if (row.label != d.name) continue;
      for (const auto& m : row.model_usages) {
        if (!is_cursor_model(m.model)) continue;
        cost += m.cost;
        tokens = util::saturating_add(tokens, model_tokens(m));
      }
    }
    days.push_back({{"cost", output::json_number(d.cost)},
                    {"date", d.name},
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
    days.push_back({{"cost", output::json_number(d.cost)}, {"date", d.name}, {"tokens", d.tokens}});
  return days;
}
}  // namespace detail

json totals_json(const SummaryTotals& t) {
  json agents = json::array();
  for (const auto& a : t.agents)
    agents.push_back({{"agent", a.name}, {"totalCost", output::json_number(a.cost)}, {"totalTokens", a.tokens}});
  return {{"agents", std::move(agents)},
          {"models", model_objects(t)},
          {"totals", {{"totalCost", output::json_number(t.total_cost)}, {"totalTokens", t.total_tokens}}}};
}

json summary_document(const std::vector<UsageRow>& rows, const SummaryTotals& totals, std::size_t workers) {
  json doc = totals_json(totals);
  doc["daily"] = detail::daily_json(totals.daily);
  json& agents = doc["agents"];
  struct Pieces {
    json models, daily, breakdown;
  };
  std::vector<std::string> ids;
  for (const auto& agent : agents) ids.push_back(agent["agent"].get<std::string>());
  // Each agent's pieces on a worker of its own: every one is made from the rows alone, and
  // they go into the document in agent order after.
  std::vector<Pieces> pieces(ids.size());
  parallel::run_tasks(ids.size(), workers, [&](std::size_t i) {
    const std::string& id = ids[i];
    auto own = rows_of_agent(rows, id);
    SummaryTotals s = build_summary_totals(own);
    pieces[i].models = model_objects(s);
    pieces[i].daily = id == "cursor" ? cursor_daily(s, own) : detail::daily_json(s.daily);
    std::uint64_t in = 0, out = 0, write = 0, read = 0;
    for (const auto& r : own) {
      in = util::saturating_add(in, r.input);
      out = util::saturating_add(out, r.output);
      write = util::saturating_add(write, r.cache_creation);
      read = util::saturating_add(read, r.cache_read);
    }
    pieces[i].breakdown = {{"cacheRead", read}, {"cacheWrite", write}, {"input", in}, {"output", out}};
  });
  for (std::size_t i = 0; i < ids.size(); ++i) {
    json& agent = agents[i];
    agent["models"] = std::move(pieces[i].models);
    agent["daily"] = std::move(pieces[i].daily);
    agent["tokenBreakdown"] = std::move(pieces[i].breakdown);
  }
  return doc;
}

}  // namespace qm::all::summary
