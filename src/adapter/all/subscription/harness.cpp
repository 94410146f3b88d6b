// The harness view's report: loading, the live readings, and the figures made of them.
#include "adapter/all/subscription/harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

#include <nlohmann/json.hpp>

#include "adapter/all/loader.h"
#include "adapter/claude/tier.h"
#include "adapter/codex/home.h"
#include "adapter/codex/images.h"
#include "date_utils.h"
#include "output.h"
#include "parallel.h"
#include "pricing/lookup.h"
#include "render.h"
#include "src/summary.h"
#include "util.h"

namespace qm::all::subscription {
namespace {

constexpr std::int64_t kThirtyDaysMs = 2'592'000'000;
constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::size_t kTrendWeeks = 8;
constexpr int kMonday = 1;

std::vector<SpendMixEntry> empty_mix() {
  return {{"input", "input", 0, 0.0},
          {"output", "output", 0, 0.0},
          {"cacheCreation", "cache write", 0, 0.0},
          {"cacheRead", "cached input", 0, 0.0}};
}

// The instant the weekly window began, by its elapsed minutes (now when that overflows).
std::int64_t window_start(const quota::WindowProgress& weekly, std::int64_t now_ms) {
  double elapsed_ms = weekly.elapsed_minutes * static_cast<double>(kMinuteMs);
  std::int64_t start;
  if (!std::isfinite(elapsed_ms) || std::fabs(elapsed_ms) >= 9.2e18 ||
      __builtin_sub_overflow(now_ms, static_cast<std::int64_t>(elapsed_ms), &start))
    return now_ms;
  return start;
}

std::vector<DayCost> weekly_trend(const std::vector<UsageRow>& rows, std::string_view agent) {
  std::map<std::string, double> weeks;
  for (const auto& row : rows) weeks[qm::summary::week_start(row.label, kMonday).value_or(row.label)] += agent_cost(row, agent);
  std::vector<DayCost> trend;
  for (auto& [week, cost] : weeks) trend.push_back({week, cost});
  if (trend.size() > kTrendWeeks) trend.erase(trend.begin(), trend.end() - kTrendWeeks);
  return trend;
}

}  // namespace

std::vector<DayCost> next_day_cost(const std::vector<UsageRow>& rows, std::string_view start_date,
                                   std::string_view agent) {
  std::vector<DayCost> days;
  for (const auto& row : rows)
    if (row.label >= start_date) days.push_back({row.label, agent_cost(row, agent)});
  return days;
}

std::array<double, 4> class_costs(const ModelUsage& entry, const std::optional<pricing::ModelPrice>& price, bool codex,
                                  bool fast_tier) {
  const std::array<double, 4> tokens = {static_cast<double>(entry.input), static_cast<double>(entry.output),
                                        static_cast<double>(entry.cache_creation),
                                        static_cast<double>(entry.cache_read)};
  std::array<double, 4> cost{};
  double computed = 0.0;
  if (price) {
    double m = entry.model.ends_with("-fast") ? price->fast_multiplier : 1.0;
    if (codex && fast_tier) m = price->fast_multiplier == 1.0 ? 2.0 : price->fast_multiplier;
    const double cached = codex && !price->explicit_cache_read ? price->input : price->cache_read;
    const std::array<double, 4> unit = {price->input, price->output, price->cache_creation, cached};
    for (std::size_t i = 0; i < cost.size(); ++i) computed += cost[i] = tokens[i] * unit[i] * m;
  }
  const double recorded = entry.cost;
  if (computed > 0) {
    if (recorded > 0)
      for (auto& c : cost) c *= recorded / computed;
    return cost;
  }
  const double all_tokens = tokens[0] + tokens[1] + tokens[2] + tokens[3];
  if (!(recorded > 0) || !(all_tokens > 0)) return {};
  for (std::size_t i = 0; i < cost.size(); ++i) cost[i] = recorded * tokens[i] / all_tokens;
  return cost;
}

std::vector<SpendMixEntry> next_spend_mix_entry(const std::vector<SpendMixEntry>& mix) {
  std::vector<SpendMixEntry> kept;
  for (const auto& e : mix)
    if (e.tokens != 0 || e.cost > 0) kept.push_back(e);
  return kept;
}

HarnessReport build_harness_report(std::string_view agent, const std::vector<UsageRow>& rows, HarnessReadings readings,
                                   const pricing::PricingTable& prices, std::int64_t now_ms,
                                   const cctz::time_zone& zone) {
  HarnessReport r;
  r.agent = std::string(agent);
  r.plan = std::move(readings.plan);
  r.live_limits = readings.state.has_value();
  if (readings.state) {
    r.reset_credits_available = readings.state->reset_credits_available;
    r.weekly = readings.state->weekly;
  }
  // The rows are days of the report zone, so the window's first day is the zone's date.
  if (r.weekly)
    r.days = next_day_cost(rows, date_utils::format_local_date(window_start(*r.weekly, now_ms), zone), agent);
  r.limit_usage = std::move(readings.limit_usage);
  r.image_generations = readings.image_generations;

  const std::int64_t month_ago = now_ms - kThirtyDaysMs;
  r.spend_30d = cost_since(rows, month_ago, agent, zone);
  const std::string cutoff = date_utils::format_local_date(month_ago, zone);
  std::vector<UsageRow> recent;
  for (const auto& row : rows)
    if (const UsageRow* part = agent_part(row, agent); part && row.label >= cutoff) recent.push_back(*part);
  r.top_models = top_models(recent);

  r.spend_mix = empty_mix();
  const bool codex = agent == "codex";
  for (const auto& part : recent)
    for (const auto& entry : part.model_usages) {
      auto cost = class_costs(entry, pricing::price_for_model(prices, entry.model), codex, readings.fast_tier);
      const std::array<std::uint64_t, 4> tokens = {entry.input, entry.output, entry.cache_creation, entry.cache_read};
      for (std::size_t i = 0; i < cost.size(); ++i) {
        r.spend_mix[i].tokens = util::saturating_add(r.spend_mix[i].tokens, tokens[i]);
        r.spend_mix[i].cost += cost[i];
      }
    }
  r.weekly_trend = weekly_trend(rows, agent);
  return r;
}

std::expected<HarnessReport, std::string> gather_harness(std::string_view agent, const CommonOptions& options,
                                                         const std::optional<std::string>& codex_plan,
                                                         const std::optional<std::string>& claude_plan,
                                                         const clock::Clock& clock) {
  const bool codex = agent == "codex";
  CommonOptions load = options;
  load.agents = {std::string(agent)};
  // Asked for while the usage loads; joined on every way out, a failed load included.
  std::optional<codex::live_usage::DailyBreakdownTask> breakdown;
  if (codex) breakdown.emplace(options.offline);
  auto loaded = loader::load_agents(load);
  if (!loaded) return std::unexpected(loaded.error());
  const auto& rows = loaded->rows;
  const auto zone = date_utils::report_zone(options.timezone);

  HarnessReadings readings;
  // The limits wait on a service and the image count on the disk: side by side.
  std::vector<std::function<void()>> tasks;
  if (codex) {
    tasks.emplace_back([&] {
      readings.state = quota::codex_limit_state(rows, options.offline, zone, clock);
      if (readings.state) readings.plan = resolve_codex_plan(readings.state->plan_type, codex_plan);
    });
    tasks.emplace_back([&] {
      auto cutoff = date_utils::utc_date_from_ms(clock.now_ms() - kThirtyDaysMs);
      readings.image_generations = codex::images::count_image_generations(cutoff, options.single_thread);
      readings.fast_tier = codex::home::configured_service_tier() == codex::home::CodexServiceTier::Fast;
    });
  } else {
    tasks.emplace_back([&] {
      readings.plan = resolve_claude_plan(claude::read_rate_limit_tier(), claude_plan);
      readings.state = quota::claude_limit_state(rows, options.offline, zone, clock);
    });
  }
  parallel::run_tasks(tasks.size(), tasks.size(), [&](std::size_t i) { tasks[i](); });

  // Compiled-in prices only: the view never downloads a price list.
  const auto prices = pricing::load_price_table(true, false, options.pricing_overrides);
  if (breakdown) readings.limit_usage = breakdown->join();
  return build_harness_report(agent, rows, std::move(readings), prices, clock.now_ms(), zone);
}

std::expected<void, std::string> run_harness(std::string_view agent, const CommonOptions& options,
                                             const std::optional<std::string>& codex_plan,
                                             const std::optional<std::string>& claude_plan,
                                             const clock::Clock& clock) {
  const bool json_out = options.json || options.jq.has_value();
  if (json_out && quota::quota_only_requested()) {
    auto window = quota::collect_live_quota(agent, options.offline, clock);
    if (!window) return std::unexpected(std::string("Live quota unavailable; previous readings should be retained"));
    return output::emit_json(quota::quota_window_json(*window), options.jq, false);
  }
  auto report = gather_harness(agent, options, codex_plan, claude_plan, clock);
  if (!report) return std::unexpected(report.error());
  if (json_out) return output::emit_json(harness_json(*report), options.jq, options.no_cost);

  std::string screen = render::heading_box(util::capitalize_first(std::string(agent)) + " Harness", options.color,
                                           options.no_color);
  screen += render_harness_screen(*report, options.no_cost, render::console_settings(options.color, options.no_color));
  return output::print(screen);
}

}  // namespace qm::all::subscription
