#pragma once
// The summary runner and what it prints: totals, the text screen and the JSON document.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "adapter/all/types.h"
#include "date_utils.h"
#include "options.h"
#include "terminal/color.h"

namespace qm::all::summary {

// The cost and tokens of one day, agent or model: `name` is the date, the agent's id or the
// model.
struct Total {
  std::string name;
  double cost = 0.0;
  std::uint64_t tokens = 0;
};
using DayTotal = Total;
using AgentTotal = Total;
using ModelTotal = Total;
struct SummaryPeriod {
  std::string from;
  std::string to;
};

struct SummaryTotals {
  std::vector<DayTotal> daily;      // ascending by date
  std::vector<AgentTotal> agents;   // cost descending, then tokens descending
  std::vector<ModelTotal> models;   // cost descending, then tokens descending
  std::optional<SummaryPeriod> period;
  double total_cost = 0.0;
  std::uint64_t total_tokens = 0;
};

SummaryTotals build_summary_totals(const std::vector<UsageRow>& rows);
double add_agent_totals(std::vector<AgentTotal>& agents, std::unordered_map<std::string, std::size_t>& index,
                        std::string_view agent, double cost, std::uint64_t tokens);
// Adds one per-model entry to the model's total, appended at the end when new.
void add_model_totals(std::vector<ModelTotal>& models, std::unordered_map<std::string, std::size_t>& index,
                      const ModelUsage& usage);
std::uint64_t model_tokens(const ModelUsage& m);

// --- JSON document ---
nlohmann::json totals_json(const SummaryTotals& totals);
nlohmann::json summary_document(const std::vector<UsageRow>& rows, const SummaryTotals& totals,
                                std::size_t workers = 1);
namespace detail {
nlohmann::json daily_json(const std::vector<DayTotal>& daily);
}

// --- text screen ---
std::string indent_line(std::string_view title);
std::string short_day_label(std::string_view date);
// The model name without "claude-" (or "anthropic/claude-") and without an 8-character
// date part at the end: claude-sonnet-4-20250514 gives sonnet-4.
std::string model_display_name(std::string_view name);
std::string format_cost_cell(double amount, std::size_t width, Style style, const ConsoleSettings& console);
std::string format_token_count(std::uint64_t count, std::size_t width, const ConsoleSettings& console);
std::string render_bar(Style style, double value, double maximum, const ConsoleSettings& console);
Style agent_style(std::string_view agent);
Style model_style(std::string_view model);
std::string heading_text(const std::vector<std::string>& detected);
// The tables (everything after the heading box), or none when there is nothing to show.
std::optional<std::string> render_tables(const SummaryTotals& totals, bool no_cost, const ConsoleSettings& console);

// --- the runner ---
std::string format_date_arg(const date_utils::CivilDate& date);
// Writes the dates of a range word into the options, relative to `today`.
void apply_range(SummaryRange range, const date_utils::CivilDate& today, CommonOptions& options);
std::expected<void, std::string> run_summary(const SummaryArgs& args);

}  // namespace qm::all::summary
