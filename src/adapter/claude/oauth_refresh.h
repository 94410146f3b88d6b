#pragma once
// Renewing the Claude OAuth access token when it has expired or was refused, serialised
// between processes by two lock directories, and writing the renewed credentials back to
// where they were read from. A token renewed meanwhile by another process is taken instead.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/claude/credentials.h"
#include "adapter/claude/usage_cache.h"
#include "clock.h"
#include "json/dom_fwd.h"

namespace qm::claude::oauth_refresh {

inline constexpr std::string_view kBuiltInClientId = "5e0f3a7c-2b91-4d6e-a8c4-71f9d03b6e25";
inline constexpr std::string_view kUserAgent = "claude-code/20.0.21";
inline constexpr std::chrono::milliseconds kLockWait{10'000};
inline constexpr std::chrono::milliseconds kLockPoll{250};
inline constexpr std::int64_t kLockStaleMs = 60'000;
inline constexpr std::int64_t kRenewBlockMs = 600'000;
// Stored credentials this close to expiry are renewed.
inline constexpr std::int64_t kRenewAheadMs = 300'000;

// The credentials to use from now on, or none. `forced` after the service refused
// `token_in_use`; `force_switch` ignores the renewal block. Updates the cache record's
// renewal block (and writes the cache file when it changed): set after a renewal request of
// our own failed, cleared by any result.
std::optional<credentials::ClaudeCredentials> refresh_tokens(std::int64_t now, bool force_switch,
                                                             usage_cache::ClaudeUsageCache& cache,
                                                             std::string_view token_in_use, bool forced,
                                                             const clock::Clock& clock = clock::system());

// ~/.claude/.oauth_refresh.lock, then the real path of ~/.claude with ".lock" appended; none
// without a home directory.
std::optional<std::vector<std::filesystem::path>> lock_paths();

// What a token reply grants.
struct Renewal {
  std::string access_token;
  std::string refresh_token;
  std::int64_t expires_at = 0;
  std::optional<std::int64_t> refresh_expires_at;
  std::optional<std::vector<std::string>> scopes;
};

// The token service's reply body; none without an access token and its lifetime. A reply
// without a refresh token keeps `refresh_token`.
std::optional<Renewal> read_token_reply(std::string_view body, std::int64_t now, std::string_view refresh_token);

// now + seconds x 1000 for an integer member; none when absent, not an integer or overflowing.
std::optional<std::int64_t> expiry_from_seconds(simdjson::dom::element object, std::int64_t now, std::string_view key);
std::optional<std::string> non_empty_string_field(simdjson::dom::element object, std::string_view key);

// The token request body: compact, keys sorted, "scope" only with scopes.
std::string refresh_request_body(const credentials::ClaudeCredentials& credentials);

}  // namespace qm::claude::oauth_refresh
