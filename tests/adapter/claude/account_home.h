#pragma once
// A temporary home for the Claude account code: the credentials file under ~/.claude, our
// cache directory inside the home, no keychain tool on PATH unless a test puts the fake one
// there, and both service hosts on loopback servers.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapter/claude/usage_cache.h"
#include "kit/env.h"
#include "kit/fake_security.h"
#include "kit/http_server.h"

namespace qm::claude::testing {

inline nlohmann::json credentials_document(const std::string& access, std::optional<std::int64_t> expires_at,
                                           std::optional<std::string> refresh = "refresh-1") {
  nlohmann::json oauth = {{"accessToken", access}, {"scopes", {"user:inference", "user:profile"}},
                          {"subscriptionType", "max"}};
  if (expires_at) oauth["expiresAt"] = *expires_at;
  if (refresh) oauth["refreshToken"] = *refresh;
  return {{"claudeAiOauth", oauth}, {"mcpOAuth", {{"server", {{"token", "keep-me"}}}}}};
}

// A token endpoint reply.
inline kit::ScriptedResponse token_reply(const std::string& access, std::optional<std::string> refresh = {},
                                         std::int64_t expires_in = 28800) {
  nlohmann::json body = {{"access_token", access}, {"expires_in", expires_in}, {"token_type", "Bearer"}};
  if (refresh) body["refresh_token"] = *refresh;
  return {200, {{"Content-Type", "application/json"}}, body.dump()};
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
  void write_credentials(const nlohmann::json& document) const {
    kit::write_file(credentials_path(), document.dump());
  }
  nlohmann::json stored_credentials() const { return nlohmann::json::parse(kit::read_file(credentials_path())); }

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
