// Obtaining the Claude usage report: cache first, then the service, then an older report.
#include "adapter/claude/limits.h"

#include <algorithm>

#include "adapter/claude/credentials.h"
#include "adapter/claude/oauth_refresh.h"
#include "http/client.h"
#include "http/hosts.h"
#include "json/strict.h"
#include "json/tree.h"
#include "output.h"
#include "util.h"
#include "util_files.h"
#include "util_json.h"

namespace qm::claude::limits {
namespace {

using usage_cache::ClaudeUsageCache;

constexpr std::chrono::milliseconds kUsageRequestTimeout{5'000};
constexpr std::size_t kUsageReplyCap = 1'000'000;
constexpr std::int64_t kMinBackoffMs = 60'000;
constexpr std::int64_t kMaxBackoffMs = 900'000;

bool force_refresh() { return util::env("QUILLIMARE_FORCE_REFRESH") == "1"; }

std::optional<std::string_view> string_member(simdjson::dom::element object, std::string_view key) {
  auto v = util::member(object, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get_string().value_unsafe();
}

// Claude Code keeps the report it last fetched in ~/.claude.json; a newer one of the same
// account replaces ours.
void import_claude_code_report(std::int64_t now, ClaudeUsageCache& cache) {
  auto home = util::home_dir();
  if (!home) return;
  auto text = util::read_file(std::filesystem::path(*home) / ".claude.json");
  if (!text) return;
  json::StrictParser parser;
  auto root = parser.parse_copy(*text);
  if (!root) return;
  auto cached = util::member(*root, "cachedUsageUtilization");
  if (!cached) return;
  auto fetched = util::member(*cached, "fetchedAtMs");
  auto fetched_at = fetched ? json::as_i64(*fetched) : std::nullopt;
  auto utilization = util::member(*cached, "utilization");
  if (!fetched_at || !utilization || !utilization->is_object()) return;
  auto theirs = string_member(*cached, "accountUuid");
  auto account = util::member(*root, "oauthAccount");
  auto ours = account ? string_member(*account, "accountUuid") : std::nullopt;
  if (theirs && ours && *theirs != *ours) return;
  if (*fetched_at > now || (cache.fetched_at && *cache.fetched_at >= *fetched_at)) return;
  cache.fetched_at = *fetched_at;
  cache.body = output::compact(json::to_tree(*utilization));
  usage_cache::write_usage_cache(cache);
}

// A successful report replaces the cached one and ends any back-off.
ObservedReport store_report(std::int64_t now, std::string body, ClaudeUsageCache& cache) {
  cache.fetched_at = now;
  cache.body = body;
  cache.blocked_until.reset();
  usage_cache::write_usage_cache(cache);
  return {std::move(body), now};
}

void block_requests(std::int64_t now, std::optional<std::uint64_t> seconds, ClaudeUsageCache& cache) {
  std::int64_t until;
  if (__builtin_add_overflow(now, rate_limit_backoff_ms(seconds), &until)) cache.blocked_until.reset();
  else cache.blocked_until = until;
  usage_cache::write_usage_cache(cache);
}

}  // namespace

std::int64_t rate_limit_backoff_ms(std::optional<std::uint64_t> seconds) {
  std::uint64_t ms;
  if (!seconds || __builtin_mul_overflow(*seconds, std::uint64_t{1000}, &ms)) return kMinBackoffMs;
  return static_cast<std::int64_t>(
      std::clamp<std::uint64_t>(ms, static_cast<std::uint64_t>(kMinBackoffMs), static_cast<std::uint64_t>(kMaxBackoffMs)));
}

std::optional<ObservedReport> cached_body_if_fresh(std::int64_t now, const ClaudeUsageCache& cache,
                                                   std::int64_t max_age_ms) {
  if (!cache.fetched_at || !cache.body) return std::nullopt;
  std::int64_t age;
  if (__builtin_sub_overflow(now, *cache.fetched_at, &age)) age = *cache.fetched_at < 0 ? INT64_MAX : INT64_MIN;
  if (age < 0 || age >= max_age_ms) return std::nullopt;
  return ObservedReport{*cache.body, *cache.fetched_at};
}

OAuthUsageResponse fetch_oauth_usage(const std::string& access_token) {
  auto base = http::hosts::anthropic_api_base();
  if (!base) return oauth_usage::Failed{};
  http::Client client;
  client.timeout = kUsageRequestTimeout;
  client.body_cap = kUsageReplyCap;
  auto reply = http::get(client, *base + "/api/oauth/usage",
                         {{"Authorization", "Bearer " + access_token},
                          {"anthropic-beta", "oauth-2025-04-20"},
                          {"Accept", "application/json"},
                          {"User-Agent", std::string(oauth_refresh::kUserAgent)}});
  if (!reply) return oauth_usage::Failed{};
  if (reply->status == 429) {
    std::optional<std::uint64_t> seconds;
    if (auto advice = http::header_value(reply->headers, "retry-after");
        advice && std::all_of(advice->begin(), advice->end(),
                              [](char c) { return c == '\t' || (c >= 0x20 && c <= 0x7E); }))
      seconds = util::parse_u64_decimal(util::trim(*advice));
    return oauth_usage::RateLimited{seconds};
  }
  if (reply->status == 401) return oauth_usage::Unauthorized{};
  if (reply->status != 200 || !parse_usage_response(reply->body)) return oauth_usage::Failed{};
  return oauth_usage::Ok{std::move(reply->body)};
}

ClaudeUsageReading load_usage_limits(bool offline, std::int64_t max_age_ms, const clock::Clock& clock) {
  if (offline) return {};
  ClaudeUsageCache cache = usage_cache::read_usage_cache();
  const std::int64_t now = clock.now_ms();
  const bool forced = force_refresh();
  import_claude_code_report(now, cache);

  if (!forced)
    if (auto fresh = cached_body_if_fresh(now, cache, kFreshCacheMs)) return {std::move(fresh), false};
  auto fallback = [&](bool expired) { return ClaudeUsageReading{cached_body_if_fresh(now, cache, max_age_ms), expired}; };

  auto loaded = credentials::load_credentials();
  auto creds = loaded ? credentials::parse_oauth_credentials(loaded->document) : std::nullopt;
  if (!creds) return fallback(false);
  if (cache.blocked_until && now < *cache.blocked_until) return fallback(false);
  if (creds->expires_at && now >= *creds->expires_at) {
    creds = oauth_refresh::refresh_tokens(now, forced, cache, creds->access_token, false, clock);
    if (!creds) return fallback(true);
  }

  for (bool retried = false;; retried = true) {
    auto response = fetch_oauth_usage(creds->access_token);
    if (auto* ok = std::get_if<oauth_usage::Ok>(&response)) return {store_report(now, std::move(ok->body), cache), false};
    if (auto* limited = std::get_if<oauth_usage::RateLimited>(&response)) {
      block_requests(now, limited->retry_after_seconds, cache);
      return fallback(false);
    }
    if (!std::holds_alternative<oauth_usage::Unauthorized>(response)) return fallback(false);
    if (retried) return fallback(true);
    creds = oauth_refresh::refresh_tokens(now, forced, cache, creds->access_token, true, clock);
    if (!creds) return fallback(true);
  }
}

}  // namespace qm::claude::limits
