// `quillimare summary --value --json` run as a user would: the live Claude limits in the
// document, read through the keychain tool or the credentials file from loopback services.
#include <gtest/gtest.h>

#include "adapter/claude/account_home.h"
#include "date_utils.h"
#include "kit/json_text.h"
#include "kit/run.h"

namespace qm::claude {
namespace {

using testing::credentials_text;
using testing::file_mode;

struct Services {
  kit::HttpServer api;
  kit::HttpServer platform;
};

kit::RunResult summary(const kit::TempDir& home, const Services& services, std::vector<std::string> args,
                       std::optional<std::filesystem::path> path = std::nullopt) {
  std::vector<std::string> argv{QM_BINARY, "summary", "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  opts.env["QUILLIMARE_ANTHROPIC_API_URL"] = services.api.url();
  opts.env["QUILLIMARE_CLAUDE_PLATFORM_URL"] = services.platform.url();
  opts.env["USER"] = "tester";
  // Nothing to spawn but the keychain tool, when a test provides one.
  opts.env["PATH"] = path ? path->string() : (home / "no-programs").string();
  return kit::run(argv, opts);
}

TEST(ClaudeAccountInSummary, LiveLimitsFromTheKeychainItem) {
  kit::TempDir home;
  Services services;
  const std::int64_t now = date_utils::now_ms();
  kit::FakeSecurity security;
  security.set_password(credentials_text("tok", now + 3'600'000));
  security.set_attributes(kit::keychain_listing("alice"));
  services.api.on("/api/oauth/usage",
                  kit::ScriptedResponse{200, {}, R"({"five_hour":{"utilization":40,"resets_at":"2025-11-24T10:00:00Z"},
                      "seven_day":{"utilization":12.5},"extra_usage":{"is_enabled":true,"used_credits":250}})"});

  auto run = summary(home, services, {"--value", "--agents", "claude"}, security.bin_dir());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string account = kit::json_at(run.out, "/claudeAccount");
  ASSERT_NE(account, "<none>") << run.out;
  EXPECT_GE(kit::json_number(account, "/observedAtMs"), static_cast<double>(now)) << account;
  const std::string observed = kit::json_at(account, "/observedAtMs");
  EXPECT_EQ(account, R"({"extraEnabled":true,"extraLimitUSD":null,"extraUsedPercent":null,"extraUsedUSD":2.5,)"
                     R"("observedAtMs":)" + observed +
                         R"(,"scoped":[],"sessionResetsAtMs":1763978400000,"sessionUsedPercent":40.0,)"
                         R"("weeklyResetsAtMs":null,"weeklyUsedPercent":12.5})");
  EXPECT_NE(run.out.find("\"sessionUsedPercent\": 40.0"), std::string::npos) << run.out;
  EXPECT_EQ(kit::json_at(run.out, "/claudeAccountStatus"), "<none>");
  EXPECT_EQ(services.api.requests().at(0).header("Authorization"), "Bearer tok");

  auto cache = home / ".cache/quillimare/claude-usage.json";
  EXPECT_EQ(file_mode(cache), 0600u);

  // The next run within the minute is served from the cache; --no-cost keeps the account.
  auto again = summary(home, services, {"--value", "--no-cost"}, security.bin_dir());
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(kit::json_at(again.out, "/claudeAccount"), account);
  EXPECT_EQ(services.api.requests().size(), 1u);
}

TEST(ClaudeAccountInSummary, ExpiredSignInAndRunsThatDoNotAsk) {
  kit::TempDir home;
  Services services;
  const std::int64_t now = date_utils::now_ms();
  kit::write_file(home / ".claude/.credentials.json", credentials_text("tok", now - 1'000));
  services.platform.on("/v1/oauth/token", kit::ScriptedResponse{400, {}, R"({"error":"invalid_grant"})"});

  for (const auto& args : {std::vector<std::string>{}, {"--value", "--agents", "codex"}, {"--value", "--offline"}}) {
    auto run = summary(home, services, args);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_NE(kit::json_at(run.out, ""), "<none>") << run.out;
    EXPECT_EQ(kit::json_at(run.out, "/claudeAccount"), "<none>");
    EXPECT_EQ(kit::json_at(run.out, "/claudeAccountStatus"), "<none>");
  }
  EXPECT_TRUE(services.platform.requests().empty());
  EXPECT_FALSE(std::filesystem::exists(home / ".cache/quillimare"));

  auto run = summary(home, services, {"--value"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(kit::json_string(run.out, "/claudeAccountStatus"), "signInExpired") << run.out;
  EXPECT_EQ(kit::json_at(run.out, "/claudeAccount"), "<none>");
  EXPECT_EQ(services.platform.requests().size(), 1u);
  EXPECT_TRUE(services.api.requests().empty());
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace qm::claude
