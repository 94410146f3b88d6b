#pragma once
// The harness view of one subscription (`quillimare harness codex|claude`): its weekly limit
// against the time elapsed, the API-equivalent spend against the plan price, where the last
// 30 days' spend went, the days of the current window and the week-by-week trend.
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cctz/time_zone.h>
#include <nlohmann/json_fwd.hpp>

#include "adapter/all/quota.h"
#include "adapter/all/subscription.h"
#include "adapter/codex/live_usage.h"
#include "clock.h"
#include "options.h"
#include "pricing/table.h"
#include "terminal/color.h"

namespace qm::all::subscription {

// What one gpt-image generation is taken to cost; token prices leave images out.
inline constexpr double kImagePriceEstimate = 0.15;

struct DayCost {
  std::string label;  // a date, or a week's first day
  double cost = 0.0;
  bool operator==(const DayCost&) const = default;
};

// One token class of the 30-day spend.
struct SpendMixEntry {
  std::string key;    // "input", "output", "cacheCreation", "cacheRead"
  std::string label;  // "input", "output", "cache write", "cached input"
  std::uint64_t tokens = 0;
  double cost = 0.0;
  bool operator==(const SpendMixEntry&) const = default;
};

struct HarnessReport {
  std::string agent;  // "codex" or "claude"
  SubscriptionPlan plan;
  bool live_limits = false;  // a limit state was had
  std::optional<std::uint32_t> reset_credits_available;
  std::optional<quota::WindowProgress> weekly;
  std::vector<DayCost> days;  // this window's days, in row order
  std::vector<codex::live_usage::CodexDailyBreakdownRow> limit_usage;
  double spend_30d = 0.0;
  std::vector<summary::ModelTotal> top_models;  // last 30 days, largest cost first
  std::vector<SpendMixEntry> spend_mix;         // the four classes in order
  std::vector<DayCost> weekly_trend;            // oldest first, at most 8
  std::uint64_t image_generations = 0;          // last 30 days
};

// What the live readings and the files gave a run.
struct HarnessReadings {
  SubscriptionPlan plan;
  std::optional<quota::LimitState> state;
  std::vector<codex::live_usage::CodexDailyBreakdownRow> limit_usage;
  std::uint64_t image_generations = 0;
  bool fast_tier = false;  // Codex's configured service tier is fast
};

// The report of one agent from the merged day rows (days of `zone`) seen at `now_ms`.
HarnessReport build_harness_report(std::string_view agent, const std::vector<UsageRow>& rows, HarnessReadings readings,
                                   const pricing::PricingTable& prices, std::int64_t now_ms, const cctz::time_zone& zone);

// The agent's cost in each row labelled `start_date` or later, in row order.
std::vector<DayCost> next_day_cost(const std::vector<UsageRow>& rows, std::string_view start_date, std::string_view agent);

// One model's entry split over input, output, cache write and cached input. The classes are
// priced at base prices (the 200,000-token tier belongs to single requests, not to a day's
// sums) and then scaled to the entry's own cost; an unpriced entry's cost is split by tokens.
// `codex` prices cached input at the input price when the source gave no cache-read price,
// and `fast_tier` applies the fast multiplier (2 when the price has none).
std::array<double, 4> class_costs(const ModelUsage& entry, const std::optional<pricing::ModelPrice>& price, bool codex,
                                  bool fast_tier);

// The classes that have tokens or a cost.
std::vector<SpendMixEntry> next_spend_mix_entry(const std::vector<SpendMixEntry>& mix);

// --- the screen ---

// "    {label:<12} {percent:>3.0}%  " and 24 cells, the filled ones in `style`.
std::string day_bar(std::string_view label, double percent, Style style, const ConsoleSettings& console);
// 16 cells, the filled ones (at least one when both are above 0) in `style`.
std::string limit_bar(double value, double maximum, Style style, const ConsoleSettings& console);
void render_labeled_row(std::string& out, std::string_view label, std::string_view value, Style style,
                        const std::optional<std::string>& suffix, const ConsoleSettings& console);
// The "api-equivalent" row and, with image generations, the "+ images" row.
void render_spend_line(const HarnessReport& report, std::string& out, const ConsoleSettings& console);
void render_usage_chart(std::string& out, const std::vector<DayCost>& entries, Style style,
                        const ConsoleSettings& console);
// Everything below the heading box.
std::string render_harness_screen(const HarnessReport& report, bool no_cost, const ConsoleSettings& console);

nlohmann::json harness_json(const HarnessReport& report);

// --- the run ---

// Loads the agent's usage (with Codex's daily breakdown asked for meanwhile) and takes the
// live readings; the loader's error when loading fails.
std::expected<HarnessReport, std::string> gather_harness(std::string_view agent, const CommonOptions& options,
                                                         const std::optional<std::string>& codex_plan,
                                                         const std::optional<std::string>& claude_plan,
                                                         const clock::Clock& clock = clock::system());

// The whole harness command: the quota-only reading, or the screen or the JSON document.
std::expected<void, std::string> run_harness(std::string_view agent, const CommonOptions& options,
                                             const std::optional<std::string>& codex_plan,
                                             const std::optional<std::string>& claude_plan,
                                             const clock::Clock& clock = clock::system());

}  // namespace qm::all::subscription
