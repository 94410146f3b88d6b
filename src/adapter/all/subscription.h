#pragma once
// Subscription plans, the value of a subscription's quota at API prices, and the short texts
// the screens share.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cctz/time_zone.h>
#include <nlohmann/json_fwd.hpp>

#include "adapter/all/quota.h"
#include "adapter/all/summary.h"
#include "terminal/color.h"

namespace qm::all::subscription {

// --- plans ---

struct SubscriptionPlan {
  std::optional<std::string> label;
  std::optional<double> monthly_price;  // US dollars
  bool operator==(const SubscriptionPlan&) const = default;
};

// The ASCII letters and digits of the text, lower-cased: "Max 20x" gives "max20x".
std::string plan_word(std::string_view text);
// A custom monthly price: the text trimmed, leading "$" removed, a finite number above 0.
std::optional<SubscriptionPlan> parse_price(std::string_view text);
// --claude-plan (a price or a plan word), else the rate-limit tier; possibly neither label
// nor price.
SubscriptionPlan resolve_claude_plan(const std::optional<std::string>& tier, const std::optional<std::string>& option);
// "plus" or "pro" as a known Codex plan.
std::optional<SubscriptionPlan> codex_plan_from_type(std::string_view text);
// --codex-plan, else the detected plan type; the label is always present. An empty plan
// type counts as "unknown".
SubscriptionPlan resolve_codex_plan(std::string_view detected, const std::optional<std::string>& option);

// --- value ---

struct SubscriptionValue {
  double full_quota_value = 0.0;       // what 100% of the window's quota is worth at API prices
  double monthly_value = 0.0;          // the same over an average month
  double projected_use_percent = 0.0;  // at the window's end at the current pace, at most 999
  bool operator==(const SubscriptionValue&) const = default;
};

// None unless the window is used, under way and longer than nothing, and the values are
// finite.
std::optional<SubscriptionValue> project_window_value(const std::optional<quota::WindowProgress>& progress);

// The agent's own row within a merged day row, or null.
const UsageRow* agent_part(const UsageRow& row, std::string_view agent);
// The agent's cost within a merged day row (0 without its part).
double agent_cost(const UsageRow& row, std::string_view agent);

// The API-equivalent spend of one agent from `start_ms` on: the rows are days of `zone`, and
// the day that holds the start counts for the part of it that follows the start.
double cost_since(const std::vector<UsageRow>& rows, std::int64_t start_ms, std::string_view agent,
                  const cctz::time_zone& zone);

// One valued agent of a summary run.
struct ValueRow {
  std::string agent;
  double spend = 0.0;
  SubscriptionPlan plan;
  std::optional<quota::LimitState> limits;
  bool live_limits = false;
};
struct ValueReport {
  std::vector<ValueRow> rows;  // Codex, Claude, Cursor, each when valued
  std::optional<summary::SummaryPeriod> period;
};

// {"fullQuotaValue", "monthlyValue", "projectedUsePercent", "valueMultiple"} of a window's
// progress ("valueMultiple" null without a price), or null when it gives no value.
nlohmann::json estimate_json(const std::optional<quota::WindowProgress>& progress, const SubscriptionPlan& plan);

// The "subscription" member of the summary document and of the report data.
nlohmann::json subscription_value_json(const ValueReport& report);

// --- texts ---

// "daily", "weekly", else whole days "3d", whole hours "5h", or minutes "90m".
std::string window_label(std::uint64_t minutes);
// "<1%" for a trace, else the whole percent: "42%".
std::string percent_label(double percent);
// "Pro ($20/mo)", "Team (price unknown)", "($150/mo)" or "plan not detected".
std::string plan_price_label(const SubscriptionPlan& plan);
// A detail row: six spaces, the text in grey, a line feed.
std::string format_row(std::string_view text, const ConsoleSettings& console);

// 1.0K, 2.5M, 3.1B, 4.0T; plain below 1,000.
std::string format_compact_count(std::uint64_t count);
// $1.2k, $2.5M; "${:.2}" below 1,000.
std::string format_money_short(double amount);

// Input, output, cache and reasoning tokens of one model's entry.
inline std::uint64_t total_tokens(const ModelUsage& usage) { return summary::model_tokens(usage); }

// Every model of a run with its cost and tokens summed over all rows: largest cost first,
// then most tokens, then by name.
std::vector<summary::ModelTotal> top_models(const std::vector<UsageRow>& rows);

}  // namespace qm::all::subscription

namespace qm::all::summary {

// --cursor-plan (a price or a plan name) or the membership type as a Cursor plan.
std::optional<subscription::SubscriptionPlan> parse_cursor_plan(const std::optional<std::string>& text);

}  // namespace qm::all::summary
