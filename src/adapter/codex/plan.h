#pragma once
// Codex rate-limit readings: the record shared with the live service reading, the newest
// record found in the local rollouts, and the weekly window of a reading.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "json/dom_fwd.h"

namespace qm::codex::plan {

struct RateLimitWindow {
  double used_percent = 0.0;  // as reported, not clamped
  std::uint64_t window_minutes = 0;
  std::optional<std::int64_t> resets_at;  // seconds since the epoch

  bool operator==(const RateLimitWindow&) const = default;
};

inline constexpr std::uint64_t kWeeklyWindowMinutes = 2880;

struct CodexRateLimits {
  std::optional<RateLimitWindow> primary;
  std::optional<RateLimitWindow> secondary;
  std::string plan_type;
  std::optional<std::string> limit_id;
  std::optional<std::uint32_t> reset_credits_available;  // live readings only

  bool operator==(const CodexRateLimits&) const = default;
};

struct RolloutRateLimits {
  std::optional<std::int64_t> observed_at_ms;
  CodexRateLimits limits;

  bool operator==(const RolloutRateLimits&) const = default;
};

// The newest reading among the 24 rollouts with the greatest file names. Never fails.
std::optional<RolloutRateLimits> read_rollout_rate_limits();
std::optional<CodexRateLimits> latest_rate_limits();

// The longer of the windows of at least two days (the secondary on a tie).
std::optional<RateLimitWindow> select_weekly_window(const CodexRateLimits& reading);

std::optional<RateLimitWindow> parse_rate_limit_window(std::optional<simdjson::dom::element> value);
// The first "rate_limits" object with a "primary" member, depth first, keys in ascending order.
std::optional<simdjson::dom::element> find_rate_limits_object(simdjson::dom::element value);

// The newest reading in the last 65536 bytes of one rollout.
std::optional<RolloutRateLimits> read_rollout_tail(const std::filesystem::path& file, json::StrictParser& parser);

}  // namespace qm::codex::plan
