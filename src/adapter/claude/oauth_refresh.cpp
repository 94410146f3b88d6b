#include "adapter/claude/oauth_refresh.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "http/client.h"
#include "http/hosts.h"
#include "json/strict.h"
#include "output.h"
#include "util.h"
#include "util_json.h"

namespace qm::claude::oauth_refresh {
namespace {

using credentials::ClaudeCredentials;
using credentials::LoadedCredentials;

constexpr int kWriteAttempts = 3;
constexpr std::chrono::milliseconds kTokenRequestTimeout{15'000};
constexpr std::size_t kTokenReplyCap = 65'536;

// A directory left behind by a process that died. A time that cannot be read, or one in
// the future, never makes a lock stale.
bool is_stale(const std::filesystem::path& lock, std::int64_t now_ms) {
  struct stat st {};
  if (::lstat(lock.c_str(), &st) != 0) return false;
  __int128 mtime_ns = static_cast<__int128>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  __int128 age_ns = static_cast<__int128>(now_ms) * 1'000'000 - mtime_ns;
  return age_ns > static_cast<__int128>(kLockStaleMs) * 1'000'000;
}

// A stale lock may also be a file (left by another tool, or by hand): it goes too. What
// cannot be removed (a directory with something inside, no permission) is waited out.
bool remove_stale(const std::filesystem::path& lock) {
  if (::rmdir(lock.c_str()) == 0 || errno == ENOENT) return true;
  return errno == ENOTDIR && (::unlink(lock.c_str()) == 0 || errno == ENOENT);
}

void release(const std::vector<std::filesystem::path>& held) {
  for (auto it = held.rbegin(); it != held.rend(); ++it) ::rmdir(it->c_str());
}

// Both locks in order, or none (and nothing held) when they cannot be had in time.
std::optional<std::vector<std::filesystem::path>> acquire(const std::vector<std::filesystem::path>& locks,
                                                           const clock::Clock& clock) {
  const std::int64_t deadline = clock.monotonic_ms() + kLockWait.count();
  std::vector<std::filesystem::path> held;
  for (const auto& lock : locks) {
    for (;;) {
      if (::mkdir(lock.c_str(), 0777) == 0) {
        held.push_back(lock);
        break;
      }
      if (errno != EEXIST) {
        release(held);
        return std::nullopt;
      }
      if (is_stale(lock, clock.now_ms()) && remove_stale(lock)) continue;
      // Checked on every pass: a stale lock that cannot be removed must not keep us here.
      if (clock.monotonic_ms() > deadline) {
        release(held);
        return std::nullopt;
      }
      clock.sleep(kLockPoll);
    }
  }
  return held;
}

struct Outcome {
  std::optional<ClaudeCredentials> credentials;
  bool own_request_failed = false;  // only then is further renewal blocked
};

std::vector<std::string> split_scopes(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (i < text.size()) {
    while (i < text.size() && space(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !space(text[i])) ++i;
    if (i > start) out.emplace_back(text.substr(start, i - start));
  }
  return out;
}

std::optional<Renewal> request_renewal(const ClaudeCredentials& current, std::int64_t now) {
  auto base = http::hosts::claude_platform_base();
  if (!base) return std::nullopt;
  http::Client client;
  client.timeout = kTokenRequestTimeout;
  client.body_cap = kTokenReplyCap;
  auto reply = http::post(client, *base + "/v1/oauth/token",
                          {{"Content-Type", "application/json"},
                           {"Accept", "application/json"},
                           {"User-Agent", std::string(kUserAgent)}},
                          refresh_request_body(current));
  if (!reply || reply->status != 200) return std::nullopt;
  return read_token_reply(reply->body, now, *current.refresh_token);
}

bool write_back(const LoadedCredentials& loaded, const Renewal& r) {
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    nlohmann::json document = loaded.document;
    auto oauth = document.find("claudeAiOauth");
    if (oauth == document.end() || !oauth->is_object()) continue;
    (*oauth)["accessToken"] = r.access_token;
    (*oauth)["refreshToken"] = r.refresh_token;
    (*oauth)["expiresAt"] = r.expires_at;
    if (r.refresh_expires_at) (*oauth)["refreshTokenExpiresAt"] = *r.refresh_expires_at;
    if (r.scopes) (*oauth)["scopes"] = *r.scopes;
    if (credentials::write_credentials(loaded.source, document)) return true;
  }
  return false;
}

Outcome renew(std::int64_t now, const LoadedCredentials& loaded, const ClaudeCredentials& current) {
  if (!current.refresh_token) return {};
  auto renewal = request_renewal(current, now);
  if (!renewal) return {std::nullopt, true};

  // Someone may have rotated the tokens while our request was out; theirs win.
  auto again = credentials::load_credentials();
  if (again) {
    auto stored = credentials::parse_oauth_credentials(again->document);
    if (stored && stored->refresh_token && *stored->refresh_token != *current.refresh_token) return {stored};
  }
  // A re-read that fails must not lose the renewed tokens: the old refresh token may be
  // spent already, so they go back to the source read under the locks.
  write_back(again ? *again : loaded, *renewal);

  ClaudeCredentials renewed = current;
  renewed.access_token = renewal->access_token;
  renewed.refresh_token = renewal->refresh_token;
  renewed.expires_at = renewal->expires_at;
  if (renewal->scopes) renewed.scopes = *renewal->scopes;
  return {std::move(renewed)};
}

Outcome decide_under_locks(std::string_view token_in_use, bool forced, const clock::Clock& clock) {
  const std::int64_t now = clock.now_ms();
  auto loaded = credentials::load_credentials();
  if (!loaded) return {};
  auto current = credentials::parse_oauth_credentials(loaded->document);
  if (!current) return {};
  const bool unexpired = !current->expires_at || now < *current->expires_at;
  if (current->access_token != token_in_use && unexpired) return {current};  // renewed by someone else
  std::int64_t horizon;
  if (__builtin_add_overflow(now, kRenewAheadMs, &horizon)) horizon = INT64_MAX;
  if (forced || (current->expires_at && *current->expires_at <= horizon)) return renew(now, *loaded, *current);
  return {current};
}

Outcome decide_without_locks(std::string_view token_in_use) {
  auto loaded = credentials::load_credentials();
  if (!loaded) return {};
  auto current = credentials::parse_oauth_credentials(loaded->document);
  if (!current || current->access_token == token_in_use) return {};
  return {current};
}

}  // namespace

std::optional<std::vector<std::filesystem::path>> lock_paths() {
  auto home = util::home_dir();
  if (!home) return std::nullopt;
  std::filesystem::path dir = std::filesystem::path(*home) / ".claude";
  std::string resolved = dir.string();
  if (char* real = ::realpath(dir.c_str(), nullptr)) {
    resolved = real;
    std::free(real);
  }
  return std::vector<std::filesystem::path>{dir / ".oauth_refresh.lock", resolved + ".lock"};
}

std::optional<std::int64_t> expiry_from_seconds(simdjson::dom::element object, std::int64_t now,
                                                std::string_view key) {
  auto v = util::member(object, key);
  if (!v) return std::nullopt;
  auto seconds = json::as_i64(*v);
  std::int64_t ms, at;
  if (!seconds || __builtin_mul_overflow(*seconds, std::int64_t{1000}, &ms) || __builtin_add_overflow(now, ms, &at))
    return std::nullopt;
  return at;
}

std::optional<std::string> non_empty_string_field(simdjson::dom::element object, std::string_view key) {
  auto v = util::member(object, key);
  if (!v || !v->is_string()) return std::nullopt;
  std::string_view s = v->get_string().value_unsafe();
  if (s.empty()) return std::nullopt;
  return std::string(s);
}

std::optional<Renewal> read_token_reply(std::string_view body, std::int64_t now, std::string_view refresh_token) {
  json::StrictParser parser;
  auto root = parser.parse_copy(body);
  if (!root) return std::nullopt;
  Renewal r;
  auto access = non_empty_string_field(*root, "access_token");
  auto expires = expiry_from_seconds(*root, now, "expires_in");
  if (!access || !expires) return std::nullopt;
  r.access_token = std::move(*access);
  r.expires_at = *expires;
  r.refresh_token = non_empty_string_field(*root, "refresh_token").value_or(std::string(refresh_token));
  r.refresh_expires_at = expiry_from_seconds(*root, now, "refresh_token_expires_in");
  if (auto scope = non_empty_string_field(*root, "scope")) r.scopes = split_scopes(*scope);
  return r;
}

std::string refresh_request_body(const ClaudeCredentials& c) {
  nlohmann::json body = {{"client_id", c.client_id.value_or(std::string(kBuiltInClientId))},
                         {"grant_type", "refresh_token"},
                         {"refresh_token", c.refresh_token.value_or("")}};
  if (!c.scopes.empty()) {
    std::string scope;
    for (const auto& s : c.scopes) scope += (scope.empty() ? "" : " ") + s;
    body["scope"] = scope;
  }
  return output::compact(body);
}

std::optional<ClaudeCredentials> refresh_tokens(std::int64_t now, bool force_switch,
                                                usage_cache::ClaudeUsageCache& cache, std::string_view token_in_use,
                                                bool forced, const clock::Clock& clock) {
  if (!force_switch && cache.renew_blocked_until && now < *cache.renew_blocked_until) return std::nullopt;

  Outcome outcome;
  auto locks = lock_paths();
  auto held = locks ? acquire(*locks, clock) : std::nullopt;
  if (held) {
    outcome = decide_under_locks(token_in_use, forced, clock);
    release(*held);
  } else {
    outcome = decide_without_locks(token_in_use);
  }

  const auto before = cache.renew_blocked_until;
  std::int64_t until;
  if (outcome.credentials) cache.renew_blocked_until.reset();
  else if (outcome.own_request_failed && !__builtin_add_overflow(now, kRenewBlockMs, &until))
    cache.renew_blocked_until = until;
  if (cache.renew_blocked_until != before) usage_cache::write_usage_cache(cache);
  return outcome.credentials;
}

}  // namespace qm::claude::oauth_refresh
