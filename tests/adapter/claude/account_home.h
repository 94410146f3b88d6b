#pragma once
// A temporary home for the Claude account code: the credentials file under ~/.claude, our
// cache directory inside the home, no keychain tool on PATH unless a test puts the fake one
// there, and both service hosts on loopback servers.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/claude/usage_cache.h"
#include "kit/env.h"
#include "kit/fake_security.h"
#include "kit/http_server.h"

namespace qm::claude::testing {

// A credentials document as compact JSON, members in the order of their names; the tokens are
// plain text.
inline std::string credentials_text(const std::string& access, std::optional<std::int64_t> expires_at,
                                    std::optional<std::string> refresh = "refresh-1") {
  std::string oauth = R"({"accessToken":")" + access + "\"";
  if (expires_at) oauth += R"(,"expiresAt":)" + std::to_string(*expires_at);
  if (refresh) oauth += R"(,"refreshToken":")" + *refresh + "\"";
  oauth += R"(,"scopes":["user:inference","user:profile"],"subscriptionType":"max"})";
  return R"({"claudeAiOauth":)" + oauth + R"(,"mcpOAuth":{"server":{"token":"keep-me"}}})";
}

// A token endpoint reply.
inline kit::ScriptedResponse token_reply(const std::string& access, std::optional<std::string> refresh = {},
                                         std::int64_t expires_in = 28800) {
  std::string body = R"({"access_token":")" + access + R"(","expires_in":)" + std::to_string(expires_in);
  if (refresh) body += R"(,"refresh_token":")" + *refresh + "\"";
  return {200, {{"Content-Type", "application/json"}}, body + R"(,"token_type":"Bearer"})"};
}

inline mode_t file_mode(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

class AccountHome {
 public:
  AccountHome() {
    env.set("HOME", home.path().string()).unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
    env.set("QUILLIMARE_CACHE_DIR", (home / "cache").string()).unset("XDG_CACHE_HOME");
    env.set("PATH", (home / "no-programs").string()).set("USER", "tester");
    env.unset("QUILLIMARE_FORCE_REFRESH").unset("CLAUDE_CONFIG_DIR");
    env.set("QUILLIMARE_ANTHROPIC_API_URL", api.url()).set("QUILLIMARE_CLAUDE_PLATFORM_URL", platform.url());
    kit::unset_proxy_variables(env);
    std::filesystem::create_directories(home / ".claude");
  }

  std::filesystem::path credentials_path() const { return home / ".claude/.credentials.json"; }
  void write_credentials(std::string_view text) const { kit::write_file(credentials_path(), text); }
  std::string stored_credentials() const { return kit::read_file(credentials_path()); }

  std::filesystem::path cache_path() const { return home / "cache" / "claude-usage.json"; }
  void write_cache(const usage_cache::ClaudeUsageCache& cache) const {
    kit::write_file(cache_path(), usage_cache::usage_cache_json(cache));
  }
  usage_cache::ClaudeUsageCache stored_cache() const {
    return usage_cache::parse_usage_cache(kit::read_file(cache_path()));
  }

  void use_keychain(const kit::FakeSecurity& security) { env.set("PATH", security.bin_dir().string()); }

  std::vector<kit::ReceivedRequest> token_requests() const { return platform.requests(); }
  std::vector<kit::ReceivedRequest> usage_requests() const { return api.requests(); }

  kit::TempDir home;
  kit::EnvGuard env;
  kit::HttpServer api;       // serves "/api/oauth/usage"
  kit::HttpServer platform;  // serves "/v1/oauth/token"
};

}  // namespace qm::claude::testing
