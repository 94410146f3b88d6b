#include "adapter/all/quota.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "adapter/all/subscription.h"
#include "adapter/codex/live_usage.h"
#include "adapter/cursor/account.h"
#include "util.h"

namespace qm::all::quota {
namespace {

using codex::plan::CodexRateLimits;
using codex::plan::RateLimitWindow;

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kYearMs = 31'536'000'000;
constexpr std::uint64_t kLongestShortWindow = 1'439;

nlohmann::json figures_json(const WindowFigures& f) {
  return {{"windowMinutes", f.window_minutes},
          {"usedPercent", f.used_percent},
          {"elapsedPercent", f.elapsed_percent},
          {"apiEquivalentSpent", 0}};
}

// A JSON number that is finite, as a float.
std::optional<double> finite_number(const nlohmann::json& v) {
  if (!v.is_number()) return std::nullopt;
  double d = v.get<double>();
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

// A reset time (seconds) at or before now: the reading describes a window that is over.
bool has_reset(std::optional<std::int64_t> resets_s, std::int64_t now_ms) {
  std::int64_t ms;
  return resets_s && !__builtin_mul_overflow(*resets_s, 1000, &ms) && ms <= now_ms;
}

std::optional<QuotaWindow> codex_live_quota(bool offline, const clock::Clock& clock) {
  auto live = codex::live_usage::fetch_live_limits(offline, clock);
  if (!live) return std::nullopt;
  auto weekly = codex::plan::select_weekly_window(*live);
  if (!weekly || !weekly->resets_at || weekly->window_minutes > INT64_MAX) return std::nullopt;
  std::int64_t resets_ms;
  if (__builtin_mul_overflow(*weekly->resets_at, 1000, &resets_ms)) return std::nullopt;
  return build_quota_window("codex", static_cast<std::int64_t>(weekly->window_minutes), resets_ms, clock.now_ms(),
                            weekly->used_percent);
}

}  // namespace

nlohmann::json quota_window_json(const QuotaWindow& w) {
  nlohmann::json j = {{"agent", w.agent}, {"observedAt", w.observed_at}, {"window", figures_json(w.window)}};
  if (w.session_window) j["sessionWindow"] = figures_json(*w.session_window);
  return j;
}

std::optional<QuotaWindow> build_quota_window(std::string_view agent, std::int64_t minutes, std::int64_t resets_ms,
                                              std::int64_t now_ms, double used_percent) {
  std::int64_t length, start;
  if (minutes <= 0 || __builtin_mul_overflow(minutes, kMinuteMs, &length) ||
      __builtin_sub_overflow(resets_ms, length, &start))
    return std::nullopt;
  if (!std::isfinite(used_percent) || used_percent < 0 || used_percent > 100) return std::nullopt;
  if (start > now_ms || now_ms >= resets_ms) return std::nullopt;
  double elapsed = static_cast<double>(now_ms - start) / static_cast<double>(length) * 100.0;
  return QuotaWindow{std::string(agent), now_ms, {minutes, used_percent, elapsed}, std::nullopt};
}

std::optional<QuotaWindow> cursor_quota_window(const nlohmann::json& account, std::int64_t now_ms) {
  namespace acc = cursor::account;
  if (!account.is_object()) return std::nullopt;
  const auto grants = account.value("grants", nlohmann::json());
  if (!grants.is_array()) return std::nullopt;
  std::optional<std::int64_t> reset;
  bool any_active = false;
  for (const auto& g : grants) {
    if (!acc::is_active_promo_grant(g)) continue;
    any_active = true;
    if (auto expires = acc::grant_expires_at_ms(g); expires && (!reset || *expires < *reset)) reset = expires;
  }
  if (!any_active) return std::nullopt;

  std::optional<double> used = finite_number(account.value("activePercentUsed", nlohmann::json()));
  if (!used) {
    auto sums = acc::sum_grants(grants);
    used = acc::percent_used(sums.remaining, sums.total);
  }
  if (!used || *used < 0 || *used > 100) return std::nullopt;

  if (!reset) {
    const auto& end = account.value("billingCycleEndMs", nlohmann::json());
    if (end.is_number_integer() && end.get<std::int64_t>() > 0) reset = end.get<std::int64_t>();
  }
  if (!reset || *reset <= now_ms) return std::nullopt;
  // Whole minutes, rounded up so that the window still begins at or before now.
  std::int64_t span = std::max(*reset - now_ms, kYearMs);
  std::int64_t minutes = std::max<std::int64_t>(span / kMinuteMs + (span % kMinuteMs != 0), 1);
  return build_quota_window("cursor", minutes, *reset, now_ms, *used);
}

bool quota_only_requested() {
  auto v = util::env("QUILLIMARE_QUOTA_ONLY");
  return v && util::is_valid_utf8(*v) && *v == "1";
}

std::optional<QuotaWindow> collect_live_quota(std::string_view word, bool offline, const clock::Clock& clock) {
  if (word == "codex") return codex_live_quota(offline, clock);
  if (word == "claude") return claude_live_quota(offline, clock);
  if (word == "cursor") {
    auto account = cursor::account::load_cursor_account(offline);
    if (!account) return std::nullopt;
    return cursor_quota_window(*account, clock.now_ms());
  }
  return std::nullopt;
}

std::optional<WindowProgress> window_progress(std::uint64_t minutes, std::int64_t start_ms,
                                              const std::vector<UsageRow>& rows, std::string_view agent,
                                              double used_percent, std::int64_t now_ms, const cctz::time_zone& zone) {
  if (!std::isfinite(used_percent) || used_percent < 0 || start_ms >= now_ms) return std::nullopt;
  // A window that has already reset (a stale reading) would count time and spend beyond it.
  std::int64_t length, end;
  if (minutes <= static_cast<std::uint64_t>(INT64_MAX) &&
      !__builtin_mul_overflow(static_cast<std::int64_t>(minutes), kMinuteMs, &length) &&
      !__builtin_add_overflow(start_ms, length, &end) && end <= now_ms)
    return std::nullopt;
  double elapsed = static_cast<double>(now_ms - start_ms) / static_cast<double>(kMinuteMs);
  return WindowProgress{minutes, used_percent, elapsed, subscription::cost_since(rows, start_ms, agent, zone)};
}

std::optional<CodexRateLimits> merge_codex_limits(std::optional<CodexRateLimits> live,
                                                  const std::function<std::optional<CodexRateLimits>()>& rollout) {
  // An empty plan type says nothing, like "unknown".
  auto known = [](const std::string& plan) { return !plan.empty() && !codex::live_usage::is_unknown_plan(plan); };
  if (!live) return rollout();
  if (codex::plan::select_weekly_window(*live) && known(live->plan_type)) return live;
  if (auto r = rollout()) {
    if (!known(live->plan_type) && known(r->plan_type)) live->plan_type = r->plan_type;
    if (!codex::plan::select_weekly_window(*live)) {
      live->primary = r->primary;
      live->secondary = r->secondary;
    }
  }
  return live;
}

LimitState codex_state_from_limits(const CodexRateLimits& limits, const std::vector<UsageRow>& rows,
                                   std::int64_t now_ms, const cctz::time_zone& zone) {
  LimitState state;
  if (auto w = codex::plan::select_weekly_window(limits); w && w->resets_at && w->window_minutes <= INT64_MAX) {
    std::int64_t seconds, start_s, start_ms;
    if (!__builtin_mul_overflow(static_cast<std::int64_t>(w->window_minutes), 60, &seconds) &&
        !__builtin_sub_overflow(*w->resets_at, seconds, &start_s) && !__builtin_mul_overflow(start_s, 1000, &start_ms))
      state.weekly = window_progress(w->window_minutes, start_ms, rows, "codex", w->used_percent, now_ms, zone);
  }
  // The longest window shorter than a day that has not reset yet; of two equal ones the
  // secondary. A window of no minutes is no window.
  for (const auto* w : {&limits.primary, &limits.secondary})
    if (*w && (*w)->window_minutes > 0 && (*w)->window_minutes <= kLongestShortWindow &&
        !has_reset((*w)->resets_at, now_ms) &&
        (!state.shorter || (*w)->window_minutes >= state.shorter->window_minutes))
      state.shorter = ShortWindow{(*w)->window_minutes, (*w)->used_percent};
  state.plan_type = limits.plan_type;
  state.reset_credits_available = limits.reset_credits_available;
  return state;
}

std::optional<LimitState> codex_limit_state(const std::vector<UsageRow>& rows, bool offline,
                                            const cctz::time_zone& zone, const clock::Clock& clock) {
  auto limits = merge_codex_limits(codex::live_usage::fetch_live_limits(offline, clock),
                                   [] { return codex::plan::latest_rate_limits(); });
  if (!limits) return std::nullopt;
  return codex_state_from_limits(*limits, rows, clock.now_ms(), zone);
}


}  // namespace qm::all::quota
