// Claude's quota window and limit state from its usage report.
#include "adapter/all/quota.h"
#include "adapter/claude/limits.h"

namespace qm::all::quota {
namespace {

constexpr std::int64_t kWeekMs = 604'800'000;

std::optional<claude::limits::ClaudeUsageLimits> parsed(const claude::limits::ClaudeUsageReading& reading,
                                                        std::int64_t& observed_at) {
  if (!reading.report) return std::nullopt;
  observed_at = reading.report->observed_at;
  return claude::limits::parse_usage_response(reading.report->body);
}

std::optional<QuotaWindow> claude_window(std::int64_t minutes, const claude::limits::UsageWindow& w,
                                         std::int64_t now_ms) {
  if (!w.resets_at) return std::nullopt;
  return build_quota_window("claude", minutes, *w.resets_at, now_ms, w.used_percent);
}

}  // namespace

std::optional<QuotaWindow> claude_live_quota(bool offline, const clock::Clock& clock) {
  std::int64_t observed_at = 0;
  auto limits = parsed(claude::limits::load_usage_limits(offline, claude::limits::kLiveQuotaMaxAgeMs, clock),
                       observed_at);
  if (!limits || !limits->weekly) return std::nullopt;
  // A cached reading is shown as it was when fetched.
  auto weekly = claude_window(10'080, *limits->weekly, observed_at);
  if (!weekly) return std::nullopt;
  if (limits->session)
    if (auto session = claude_window(300, *limits->session, observed_at)) weekly->session_window = session->window;
  return weekly;
}

std::optional<LimitState> claude_limit_state(const std::vector<UsageRow>& rows, bool offline,
                                             const cctz::time_zone& zone, const clock::Clock& clock) {
  std::int64_t observed_at = 0;
  auto limits = parsed(claude::limits::load_usage_limits(offline, claude::limits::kSummaryMaxAgeMs, clock),
                       observed_at);
  if (!limits) return std::nullopt;
  const std::int64_t now = clock.now_ms();
  LimitState state;
  std::int64_t start;
  if (limits->weekly && limits->weekly->resets_at && !__builtin_sub_overflow(*limits->weekly->resets_at, kWeekMs, &start))
    state.weekly = window_progress(10'080, start, rows, "claude", limits->weekly->used_percent, now, zone);
  // A session window that has already reset says nothing of the current one.
  if (const auto& s = limits->session; s && !(s->resets_at && *s->resets_at <= now))
    state.shorter = ShortWindow{300, s->used_percent};
  return state;
}

}  // namespace qm::all::quota
