// The Claude usage report obtained: the cache and its import, the service's answers on a
// loopback server, the back-off, token renewal on refusal, and the fallbacks.
#include "adapter/claude/limits.h"

#include <gtest/gtest.h>

#include "adapter/claude/account_home.h"
#include "date_utils.h"
#include "kit/fake_clock.h"

namespace qm::claude::limits {
namespace {

using testing::AccountHome;
using testing::credentials_text;
using testing::token_reply;
using usage_cache::ClaudeUsageCache;

constexpr const char* kUsagePath = "/api/oauth/usage";
constexpr const char* kTokenPath = "/v1/oauth/token";
const std::string kReport = R"({"five_hour":{"utilization":12.5,"resets_at":null},"seven_day":null})";
const std::string kOldReport = R"({"five_hour":{"utilization":99}})";

kit::ScriptedResponse usage_reply(std::string body = kReport) { return {200, {}, std::move(body)}; }

TEST(ClaudeUsageRequest, OutcomesByStatus) {
  struct Case {
    kit::ScriptedResponse reply;
    OAuthUsageResponse expected;
  };
  const Case cases[] = {
      {usage_reply(), oauth_usage::Ok{kReport}},
      {usage_reply("[]"), oauth_usage::Ok{"[]"}},
      {usage_reply("<html>busy</html>"), oauth_usage::Failed{}},
      {usage_reply(R"({"pad":")" + std::string(1'000'000, 'x') + R"("})"), oauth_usage::Failed{}},
      {{429, {{"Retry-After", "30"}}}, oauth_usage::RateLimited{30}},
      {{429, {{"retry-after", " 45 "}}}, oauth_usage::RateLimited{45}},
      {{429, {{"Retry-After", "Wed, 21 Oct 2025 07:28:00 GMT"}}}, oauth_usage::RateLimited{}},
      {{429, {{"Retry-After", "3\x01"}}}, oauth_usage::RateLimited{}},
      {{429}, oauth_usage::RateLimited{}},
      {{401}, oauth_usage::Unauthorized{}},
      {{500, {}, kReport}, oauth_usage::Failed{}},
      {{302, {}, kReport}, oauth_usage::Failed{}},
  };
  AccountHome h;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.status);
    h.api.on(kUsagePath, c.reply);
    auto got = fetch_oauth_usage("tok-1");
    ASSERT_EQ(got.index(), c.expected.index());
    if (auto* ok = std::get_if<oauth_usage::Ok>(&got)) {
      EXPECT_EQ(ok->body, std::get<oauth_usage::Ok>(c.expected).body);
    }
    if (auto* limited = std::get_if<oauth_usage::RateLimited>(&got)) {
      EXPECT_EQ(limited->retry_after_seconds, std::get<oauth_usage::RateLimited>(c.expected).retry_after_seconds);
    }
  }

  auto request = h.usage_requests().front();
  EXPECT_EQ(request.method, "GET");
  std::vector<std::string> headers;
  for (const auto& [name, value] : request.headers)
    if (name != "Host") headers.push_back(name + ": " + value);
  EXPECT_EQ(headers, (std::vector<std::string>{"Authorization: Bearer tok-1", "anthropic-beta: oauth-2025-04-20",
                                               "Accept: application/json", "User-Agent: claude-code/20.0.21"}));
  h.env.set("QUILLIMARE_ANTHROPIC_API_URL", kit::RefusingPort().url());
  EXPECT_TRUE(std::holds_alternative<oauth_usage::Failed>(fetch_oauth_usage("tok-1")));
}

TEST(ClaudeUsageRequest, BackOffAndFreshness) {
  const std::pair<std::optional<std::uint64_t>, std::int64_t> backoffs[] = {
      {30, 60'000}, {120, 120'000}, {3600, 900'000}, {std::nullopt, 60'000}, {UINT64_MAX / 10, 60'000}};
  for (auto [seconds, ms] : backoffs) EXPECT_EQ(rate_limit_backoff_ms(seconds), ms);

  ClaudeUsageCache cache{{}, "body", 1'000'000, {}};
  const std::pair<std::int64_t, bool> ages[] = {{0, true}, {54'999, true}, {55'000, false}, {-1, false}};
  for (auto [age, fresh] : ages)
    EXPECT_EQ(cached_body_if_fresh(1'000'000 + age, cache, 55'000).has_value(), fresh) << age;
  EXPECT_EQ(cached_body_if_fresh(1'000'001, cache, 55'000), (ObservedReport{"body", 1'000'000}));
  cache.fetched_at = INT64_MIN;  // an age beyond 64 bits is no fresher
  EXPECT_FALSE(cached_body_if_fresh(INT64_MAX, cache, INT64_MAX));
  cache = {{}, {}, 1'000'000, {}};
  EXPECT_FALSE(cached_body_if_fresh(1'000'000, cache, 55'000));
}

class LoadLimits : public ::testing::Test {
 protected:
  LoadLimits() { fake.wall_ms = now; }
  ClaudeUsageReading load(std::int64_t max_age = kSummaryMaxAgeMs) { return load_usage_limits(false, max_age, fake.clock()); }
  void cache_report(std::int64_t age_ms, std::string body = kOldReport) {
    h.write_cache({{}, std::move(body), now - age_ms, {}});
  }

  AccountHome h;
  const std::int64_t now = date_utils::now_ms();
  kit::FakeClock fake;
};

TEST_F(LoadLimits, OfflineReadsNothing) {
  h.write_credentials(credentials_text("tok", now + 3'600'000));
  cache_report(1'000);
  EXPECT_EQ(load_usage_limits(true, kSummaryMaxAgeMs, fake.clock()), ClaudeUsageReading{});
  EXPECT_TRUE(h.usage_requests().empty());
}

TEST_F(LoadLimits, CacheAgeDecidesWhetherToAsk) {
  h.api.on(kUsagePath, usage_reply());
  h.write_credentials(credentials_text("tok", now + 3'600'000));

  cache_report(54'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 54'000}, false}));
  EXPECT_TRUE(h.usage_requests().empty());

  for (std::int64_t age : {56'000, -5'000}) {  // too old, or from the future
    SCOPED_TRACE(age);
    cache_report(age);
    EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kReport, now}, false}));
    EXPECT_EQ(h.stored_cache(), (ClaudeUsageCache{{}, kReport, now, {}}));
    EXPECT_EQ(testing::file_mode(h.cache_path()), 0600u);
  }
  EXPECT_EQ(h.usage_requests().size(), 2u);

  // Without credentials an older report is the answer, while younger than the caller allows.
  std::filesystem::remove(h.credentials_path());
  cache_report(56'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 56'000}, false}));
  EXPECT_EQ(load(kLiveQuotaMaxAgeMs), (ClaudeUsageReading{ObservedReport{kOldReport, now - 56'000}, false}));
  cache_report(86'000);
  EXPECT_EQ(load(kLiveQuotaMaxAgeMs), ClaudeUsageReading{});
  EXPECT_EQ(h.usage_requests().size(), 2u);
}

TEST_F(LoadLimits, RateLimitBacksOffEvenWhenForced) {
  h.write_credentials(credentials_text("tok", now + 3'600'000));
  h.api.on(kUsagePath, {{429, {{"Retry-After", "3600"}}}, usage_reply()});
  cache_report(300'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 300'000}, false}));
  EXPECT_EQ(h.stored_cache(), (ClaudeUsageCache{now + 900'000, kOldReport, now - 300'000, {}}));

  h.env.set("QUILLIMARE_FORCE_REFRESH", "1");
  h.write_cache({now + 900'000, kOldReport, now - 1'000, {}});
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 1'000}, false}));
  EXPECT_EQ(h.usage_requests().size(), 1u);

  // Once the back-off is over, the next report lifts it.
  fake.wall_ms = now + 900'000;
  EXPECT_EQ(load_usage_limits(false, kSummaryMaxAgeMs, fake.clock()).report->body, kReport);
  EXPECT_FALSE(h.stored_cache().blocked_until);
}

TEST_F(LoadLimits, RefusedTokenIsRenewedOnce) {
  h.write_credentials(credentials_text("old", now + 3'600'000));
  h.api.on(kUsagePath, {{401}, usage_reply()});
  h.platform.on(kTokenPath, token_reply("new"));
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kReport, now}, false}));
  auto requests = h.usage_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer old");
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer new");
  EXPECT_EQ(h.token_requests().size(), 1u);

  // Refused again after the renewal: the older report, and the sign-in has expired.
  h.write_credentials(credentials_text("old", now + 3'600'000));
  h.api.on(kUsagePath, kit::ScriptedResponse{401});
  cache_report(600'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 600'000}, true}));
  EXPECT_EQ(h.usage_requests().size(), 4u);
}

TEST_F(LoadLimits, ExpiredTokenThatCannotBeRenewed) {
  h.write_credentials(credentials_text("old", now));
  h.platform.on(kTokenPath, kit::ScriptedResponse{400, {}, R"({"error":"invalid_grant"})"});
  cache_report(600'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 600'000}, true}));
  EXPECT_TRUE(h.usage_requests().empty());
  EXPECT_EQ(h.stored_cache().renew_blocked_until, now + 600'000);

  // Blocked now: no second token request, the same answer.
  EXPECT_EQ(load().sign_in_expired, true);
  EXPECT_EQ(h.token_requests().size(), 1u);
}

TEST_F(LoadLimits, ServiceFailureFallsBackWithoutExpiry) {
  h.write_credentials(credentials_text("tok", now + 3'600'000));
  h.api.on(kUsagePath, kit::ScriptedResponse{500});
  cache_report(100'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{kOldReport, now - 100'000}, false}));
  EXPECT_EQ(load(90'000), ClaudeUsageReading{});
}

TEST_F(LoadLimits, ImportsClaudeCodesNewerReport) {
  h.api.on(kUsagePath, usage_reply());
  h.write_credentials(credentials_text("tok", now + 3'600'000));
  auto claude_json = [&](const char* cached_account, const char* account, std::int64_t fetched) {
    const std::string cached = cached_account ? R"("accountUuid":")" + std::string(cached_account) + "\"," : "";
    kit::write_file(h.home / ".claude.json", R"({"cachedUsageUtilization":{)" + cached + R"("fetchedAtMs":)" +
                                                 std::to_string(fetched) +
                                                 R"(,"utilization":{"seven_day":{"utilization":5}}},)"
                                                 R"("oauthAccount":{"accountUuid":")" + account + "\"}}");
  };
  const std::string imported = R"({"seven_day":{"utilization":5}})";

  cache_report(600'000);
  claude_json("acct-1", "acct-1", now - 10'000);
  EXPECT_EQ(load(), (ClaudeUsageReading{ObservedReport{imported, now - 10'000}, false}));
  EXPECT_EQ(h.stored_cache(), (ClaudeUsageCache{{}, imported, now - 10'000, {}}));
  EXPECT_TRUE(h.usage_requests().empty());

  // Another account's report, one from the future or one no newer than ours is not taken.
  struct Case {
    const char* cached_account;
    std::int64_t fetched;
  };
  for (auto c : {Case{"acct-2", now - 10'000}, Case{nullptr, now + 10'000}, Case{"acct-1", now - 600'000}}) {
    cache_report(600'000);
    claude_json(c.cached_account, "acct-1", c.fetched);
    EXPECT_EQ(load().report->body, kReport);
  }
  EXPECT_EQ(h.usage_requests().size(), 3u);
}

}  // namespace
}  // namespace qm::claude::limits
