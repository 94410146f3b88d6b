#pragma once
// The Claude account's live usage limits: the report text obtained from the service (with
// the shared cache, the import of Claude Code's own cached report, the back-off after rate
// limiting and token renewal), and the report parsed into windows and extra usage.
//
// Readers of the limits: call `load_usage_limits` on a thread of your own (it may wait on
// the network and on the renewal locks), then `parse_usage_response` on the report text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "adapter/claude/usage_cache.h"
#include "clock.h"
#include "json/dom_fwd.h"

namespace qm::claude::limits {

// --- the parsed report ---

// One rate-limit window.
struct UsageWindow {
  double used_percent = 0.0;               // 0 to 100
  std::optional<std::int64_t> resets_at;   // milliseconds since the epoch
  bool operator==(const UsageWindow&) const = default;
};

// A weekly window of one model (or other scope), named for display.
struct ScopedLimit {
  std::string name;
  double used_percent = 0.0;              // 0 to 100
  std::optional<std::int64_t> resets_at;  // milliseconds since the epoch
  bool operator==(const ScopedLimit&) const = default;
};

// Paid usage beyond the plan's limits.
struct ClaudeExtraUsage {
  bool enabled = false;
  std::optional<double> used;          // US dollars
  std::optional<double> limit;         // US dollars per month
  std::optional<double> used_percent;  // 0 to 100
  bool operator==(const ClaudeExtraUsage&) const = default;
};

struct ClaudeUsageLimits {
  std::optional<UsageWindow> session;  // the 5-hour window
  std::optional<UsageWindow> weekly;   // the 7-day window over all models
  std::vector<ScopedLimit> scoped;     // per-model weekly windows, in report order
  std::optional<ClaudeExtraUsage> extra;

  // Nothing worth showing: no window, no scoped limit, no extra usage.
  bool empty() const { return !session && !weekly && scoped.empty() && !extra; }
  bool operator==(const ClaudeUsageLimits&) const = default;
};

// None when the text is not JSON; a JSON value that is not an object gives empty limits.
std::optional<ClaudeUsageLimits> parse_usage_response(std::string_view text);
// None when the value is missing or null or its "utilization" is not a percent value.
std::optional<UsageWindow> parse_usage_window(std::optional<simdjson::dom::element> value);
// A finite number, or {"amount_minor", "exponent"} in minor units; none otherwise.
std::optional<double> parse_money_amount(std::optional<simdjson::dom::element> value);
// A reset time: an RFC 3339 text, with a fraction of any length cut or padded to milliseconds.
std::optional<std::int64_t> normalize_fraction_and_parse(std::string_view text);

// The summary document's "claudeAccount" object, or none when the limits are empty.
std::optional<nlohmann::json> claude_account_json(const ClaudeUsageLimits& limits, std::int64_t observed_at_ms);

// --- obtaining the report ---

struct ObservedReport {
  std::string body;              // the report text as the service sent it
  std::int64_t observed_at = 0;  // when it was obtained, milliseconds since the epoch
  bool operator==(const ObservedReport&) const = default;
};

struct ClaudeUsageReading {
  std::optional<ObservedReport> report;
  // A token renewal was needed and gave nothing, or the renewed token was refused again.
  bool sign_in_expired = false;
  bool operator==(const ClaudeUsageReading&) const = default;
};

// The maximum ages of a fallback report that the callers use.
inline constexpr std::int64_t kSummaryMaxAgeMs = 900'000;
inline constexpr std::int64_t kLiveQuotaMaxAgeMs = 85'000;
// A cached report younger than this is served without asking the service.
inline constexpr std::int64_t kFreshCacheMs = 55'000;

// Never fails; a report that cannot be had fresh falls back to a cached one younger than
// `max_age_ms`, or none. Offline reads nothing at all.
ClaudeUsageReading load_usage_limits(bool offline, std::int64_t max_age_ms,
                                     const clock::Clock& clock = clock::system());

namespace oauth_usage {
struct Ok {
  std::string body;
};
struct RateLimited {
  std::optional<std::uint64_t> retry_after_seconds;
};
struct Unauthorized {};
struct Failed {};
}  // namespace oauth_usage
using OAuthUsageResponse =
    std::variant<oauth_usage::Ok, oauth_usage::RateLimited, oauth_usage::Unauthorized, oauth_usage::Failed>;

// One GET of the usage endpoint.
OAuthUsageResponse fetch_oauth_usage(const std::string& access_token);

// The cached report when 0 <= now - fetchedAt < max_age.
std::optional<ObservedReport> cached_body_if_fresh(std::int64_t now, const usage_cache::ClaudeUsageCache& cache,
                                                   std::int64_t max_age_ms);

// The back-off after a 429: the advised seconds within 60 s to 900 s, 60 s when not given.
std::int64_t rate_limit_backoff_ms(std::optional<std::uint64_t> retry_after_seconds);

}  // namespace qm::claude::limits
