#pragma once
// "claude-usage.json" in our cache directory: the last Claude usage report and the back-off
// times, shared by every run of the program. Written whole and renamed into place, so a
// reader sees the old file or the new one; the last writer wins.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "json/dom_fwd.h"

namespace qm::claude::usage_cache {

inline constexpr std::string_view kFileName = "claude-usage.json";

// All times in milliseconds since the epoch; an absent member is written as null.
struct ClaudeUsageCache {
  std::optional<std::int64_t> blocked_until;        // "blockedUntil": no usage request before this
  std::optional<std::string> body;                  // "body": the usage report text, unchanged
  std::optional<std::int64_t> fetched_at;           // "fetchedAt": when "body" was obtained
  std::optional<std::int64_t> renew_blocked_until;  // "renewBlockedUntil": no automatic token renewal before this

  bool operator==(const ClaudeUsageCache&) const = default;
};

std::optional<std::filesystem::path> usage_cache_path();

// Each member on its own: a missing, null or ill-typed one is absent; a file that is
// missing, unreadable or not JSON gives an empty record.
ClaudeUsageCache parse_usage_cache(std::string_view text);
ClaudeUsageCache read_usage_cache();

// Compact, every key present, keys sorted.
std::string usage_cache_json(const ClaudeUsageCache& cache);
// Creates the directory when missing; failures are not reported.
void write_usage_cache(const ClaudeUsageCache& cache);

// A 64-bit signed integer member.
std::optional<std::int64_t> get_i64_field(simdjson::dom::element object, std::string_view key);

}  // namespace qm::claude::usage_cache
