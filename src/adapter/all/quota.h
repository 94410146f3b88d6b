#pragma once
// The live limits of Codex, Claude and Cursor as quota windows (how much of the window is
// used against how much of its time has passed) and as limit states (the weekly window with
// the API-equivalent spend since it began). Every reading fails soft: no window, no state.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cctz/time_zone.h>
#include <nlohmann/json_fwd.hpp>

#include "adapter/all/types.h"
#include "adapter/claude/limits.h"
#include "adapter/codex/plan.h"
#include "clock.h"

namespace qm::all::quota {

// One window's figures as the quota-only mode prints them.
struct WindowFigures {
  std::int64_t window_minutes = 0;
  double used_percent = 0.0;
  double elapsed_percent = 0.0;
  bool operator==(const WindowFigures&) const = default;
};

struct QuotaWindow {
  std::string agent;
  std::int64_t observed_at = 0;  // milliseconds since the epoch
  WindowFigures window;
  std::optional<WindowFigures> session_window;  // Claude's 5-hour window
  bool operator==(const QuotaWindow&) const = default;
};

// {"agent", "observedAt", "window": {...}, "sessionWindow" when there is one}; the percents
// are written as floats, "apiEquivalentSpent" as 0.
nlohmann::json quota_window_json(const QuotaWindow& window);

struct WindowProgress {
  std::uint64_t window_minutes = 0;
  double used_percent = 0.0;
  double elapsed_minutes = 0.0;
  double spend = 0.0;  // API-equivalent US dollars since the window began
  bool operator==(const WindowProgress&) const = default;
};

struct ShortWindow {
  std::uint64_t window_minutes = 0;
  double used_percent = 0.0;
  bool operator==(const ShortWindow&) const = default;
};

struct LimitState {
  std::optional<WindowProgress> weekly;
  std::optional<ShortWindow> shorter;
  std::string plan_type;  // Codex only
  std::optional<std::uint32_t> reset_credits_available;  // Codex only
  bool operator==(const LimitState&) const = default;
};

// The window from resets − minutes to resets seen at `now`; none unless the length is above
// 0, the used percent lies within 0 to 100 and start <= now < resets.
std::optional<QuotaWindow> build_quota_window(std::string_view agent, std::int64_t minutes, std::int64_t resets_ms,
                                              std::int64_t now_ms, double used_percent);

// QUILLIMARE_QUOTA_ONLY is exactly "1": with --json or --jq, a run prints only a live
// quota reading.
bool quota_only_requested();

// The weekly (and for Claude the session) window of "codex", "claude" or "cursor"; none for
// any other word.
std::optional<QuotaWindow> collect_live_quota(std::string_view word, bool offline,
                                              const clock::Clock& clock = clock::system());

// Claude's weekly window, with its 5-hour window as "sessionWindow", from a reading of the
// last 85 seconds; both seen at the reading's own instant.
std::optional<QuotaWindow> claude_live_quota(bool offline, const clock::Clock& clock = clock::system());

// Cursor's window from its account: its active promotional grants, used as the account says,
// ending when the first of them expires (else with the billing cycle), at least a year long.
std::optional<QuotaWindow> cursor_quota_window(const nlohmann::json& account, std::int64_t now_ms);

// The progress of a window that started at `start_ms`; none when the used percent is not a
// number of 0 or more, or the window has not begun or has already ended at `now_ms`.
std::optional<WindowProgress> window_progress(std::uint64_t minutes, std::int64_t start_ms,
                                              const std::vector<UsageRow>& rows, std::string_view agent,
                                              double used_percent, std::int64_t now_ms, const cctz::time_zone& zone);

// The limits a Codex state is built from: the live reading, completed from the rollout
// reading when it lacks a known plan type or a weekly window; the rollout reading alone
// without a live one. `rollout` is asked only when needed.
std::optional<codex::plan::CodexRateLimits> merge_codex_limits(
    std::optional<codex::plan::CodexRateLimits> live,
    const std::function<std::optional<codex::plan::CodexRateLimits>()>& rollout);

// A limit state from a Codex reading (the weekly window's progress, the longest window
// shorter than a day, the plan type and reset credits).
LimitState codex_state_from_limits(const codex::plan::CodexRateLimits& limits, const std::vector<UsageRow>& rows,
                                   std::int64_t now_ms, const cctz::time_zone& zone);

// The merged day rows of a run, in the report zone `zone`.
std::optional<LimitState> codex_limit_state(const std::vector<UsageRow>& rows, bool offline,
                                            const cctz::time_zone& zone, const clock::Clock& clock = clock::system());
std::optional<LimitState> claude_limit_state(const std::vector<UsageRow>& rows, bool offline,
                                             const cctz::time_zone& zone, const clock::Clock& clock = clock::system());
// The same from a reading already taken (with the summary's maximum age).
std::optional<LimitState> claude_state_from_reading(const claude::limits::ClaudeUsageReading& reading,
                                                    const std::vector<UsageRow>& rows, std::int64_t now_ms,
                                                    const cctz::time_zone& zone);

}  // namespace qm::all::quota
