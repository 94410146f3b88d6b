// Claude's quota window and limit state from its usage report.
#include "adapter/all/quota.h"

namespace qm::all::quota {
namespace {

constexpr std::int64_t kWeekMs = 604'800'000;

std::optional<claude::limits::ClaudeUsageLimits> parsed(const claude::limits::ClaudeUsageReading& reading) {
  if (!reading.report) return std::nullopt;
  return claude::limits::parse_usage_response(reading.report->body);
}

std::optional<QuotaWindow> claude_window(std::int64_t minutes, const claude::limits::UsageWindow& w,
                                         std::int64_t now_ms) {
  if (!w.resets_at) return std::nullopt;
  return build_quota_window("claude", minutes, *w.resets_at, now_ms, w.used_percent);
}

}  // namespace

std::optional<QuotaWindow> claude_live_quota(bool offline, const clock::Clock& clock) {
  auto reading = claude::limits::load_usage_limits(offline, claude::limits::kLiveQuotaMaxAgeMs, clock);
  auto limits = parsed(reading);
  if (!limits || !limits->weekly) return std::nullopt;
  // A cached reading is shown as it was when fetched.
  const std::int64_t observed_at = reading.report->observed_at;
  auto weekly = claude_window(10'080, *limits->weekly, observed_at);
  if (!weekly) return std::nullopt;
  if (limits->session)
    if (auto session = claude_window(300, *limits->session, observed_at)) weekly->session_window = session->window;
  return weekly;
}

std::optional<LimitState> claude_state_from_reading(const claude::limits::ClaudeUsageReading& reading,
                                                    const std::vector<UsageRow>& rows, std::int64_t now_ms,
                                                    const cctz::time_zone& zone) {
  auto limits = parsed(reading);
  if (!limits) return std::nullopt;
  LimitState state;
  std::int64_t start;
  if (limits->weekly && limits->weekly->resets_at && !__builtin_sub_overflow(*limits->weekly->resets_at, kWeekMs, &start))
    state.weekly = window_progress(10'080, start, rows, "claude", limits->weekly->used_percent, now_ms, zone);
  // A session window that has already reset says nothing of the current one.
  if (const auto& s = limits->session; s && !(s->resets_at && *s->resets_at <= now_ms))
    state.shorter = ShortWindow{300, s->used_percent};
  return state;
}

std::optional<LimitState> claude_limit_state(const std::vector<UsageRow>& rows, bool offline,
                                             const cctz::time_zone& zone, const clock::Clock& clock) {
  auto reading = claude::limits::load_usage_limits(offline, claude::limits::kSummaryMaxAgeMs, clock);
  return claude_state_from_reading(reading, rows, clock.now_ms(), zone);
}

}  // namespace qm::all::quota
