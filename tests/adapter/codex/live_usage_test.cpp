// The live Codex readings: usage replies, the three samples and the rollout check, the daily
// breakdown, all asked of a loopback server with a token from a temporary Codex home.
#include "adapter/codex/live_usage.h"

#include <gtest/gtest.h>

#include <fmt/core.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "date_utils.h"
#include "kit/env.h"
#include "kit/fake_clock.h"
#include "kit/http_server.h"

namespace qm::codex::live_usage {
namespace {

using namespace std::chrono_literals;
using kit::ScriptedResponse;
using plan::CodexRateLimits;
using plan::RateLimitWindow;

constexpr const char* kUsagePath = "/backend-api/wham/usage";
constexpr const char* kBreakdownPath = "/backend-api/wham/usage/daily-token-usage-breakdown";
constexpr std::int64_t kReset = 1'760'000'000;  // seconds

// A reply with a 5-hour primary window and a weekly secondary window.
std::string usage_reply(double weekly_used, std::int64_t weekly_reset = kReset, const std::string& plan = "plus") {
  return fmt::format(
      R"({{"plan_type":"{}","rate_limit":{{"primary_window":{{"used_percent":7,"limit_window_seconds":18000,"reset_at":{}}},
          "secondary_window":{{"used_percent":{},"limit_window_seconds":604800,"reset_at":{}}}}}}})",
      plan, kReset - 86'400, weekly_used, weekly_reset);
}

CodexRateLimits reading(double weekly_used, std::int64_t weekly_reset = kReset) {
  return {RateLimitWindow{7, 300, kReset - 86'400}, RateLimitWindow{weekly_used, 10080, weekly_reset}, "plus", "codex",
          std::nullopt};
}

TEST(CodexUsageReply, Shapes) {
  const struct {
    const char* body;
    std::optional<CodexRateLimits> want;
  } cases[] = {
      {R"({"plan_type":"pro","rate_limit":{"primary_window":{"used_percent":12.5,"limit_window_seconds":604800,"reset_at":1760000000},
          "secondary_window":null},"rate_limit_reset_credits":{"available_count":2}})",
       CodexRateLimits{RateLimitWindow{12.5, 10080, 1760000000}, std::nullopt, "pro", "codex", 2}},
      // An empty plan type is "unknown"; 90 seconds are one minute; a float reset is no reset.
      {R"({"plan_type":"","rate_limit":{"primary_window":{"used_percent":1,"limit_window_seconds":90,"reset_at":1.5}},
          "rateLimitResetCredits":{"availableCount":3}})",
       CodexRateLimits{RateLimitWindow{1, 1, std::nullopt}, std::nullopt, "unknown", "codex", 3}},
      // Windows without a whole non-negative length or a number used percent are none.
      {R"({"rate_limit":{"primary_window":{"used_percent":"1","limit_window_seconds":60},
          "secondary_window":{"used_percent":1,"limit_window_seconds":-60}},"rateLimitResetCredits":{"availableCount":4294967296}})",
       CodexRateLimits{std::nullopt, std::nullopt, "unknown", "codex", std::nullopt}},
      // "rate_limit_reset_credits" present (even without a count) hides the other spelling.
      {R"({"rate_limit":null,"rate_limit_reset_credits":{},"rateLimitResetCredits":{"availableCount":5}})",
       CodexRateLimits{std::nullopt, std::nullopt, "unknown", "codex", std::nullopt}},
      {R"({"plan_type":"pro"})", std::nullopt},
      {R"([{"rate_limit":{}}])", std::nullopt},
      {"not json", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_usage(c.body), c.want) << c.body;
}

TEST(CodexUsageSamples, TheLowestOfTheSameWindowWins) {
  using Samples = std::vector<std::optional<CodexRateLimits>>;
  const struct {
    const char* name;
    Samples samples;
    std::optional<double> weekly_used;
  } cases[] = {
      {"lowest of three", {reading(40, kReset), reading(38, kReset + 5), reading(45, kReset - 5)}, 38},
      {"two minutes later is another window", {reading(40), reading(30, kReset + 120), reading(39, kReset + 60)}, 39},
      {"the caller's own sample missing", {std::nullopt, reading(45), reading(41)}, 41},
      {"none at all", {std::nullopt, std::nullopt, std::nullopt}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = reconcile_samples(c.samples);
    ASSERT_EQ(r.has_value(), c.weekly_used.has_value()) << c.name;
    if (r) {
      EXPECT_EQ(r->secondary->used_percent, *c.weekly_used) << c.name;
    }
  }
  // A sample without reset times never replaces another.
  auto no_reset = reading(10);
  no_reset.secondary->resets_at.reset();
  EXPECT_EQ(reconcile_samples({reading(40), no_reset}), reading(40));
}

TEST(CodexUsageSamples, CorrectedByAFreshRolloutOfTheSameWindow) {
  const std::int64_t now = kReset * 1000 - 3 * 86'400'000LL;
  auto rollout = [&](double used, std::int64_t age_ms, std::int64_t reset = kReset) {
    return plan::RolloutRateLimits{now - age_ms, reading(used, reset)};
  };
  const struct {
    const char* name;
    double live;
    std::optional<plan::RolloutRateLimits> rollout;
    double want;
  } cases[] = {
      {"5 minutes old, 30 > 10 × 1.5 + 3", 30, rollout(10, 300'000), 10},
      {"exactly 18 stays", 18, rollout(10, 300'000), 18},
      {"11 minutes old", 30, rollout(10, 660'000), 30},
      {"from the future counts as fresh", 30, rollout(10, -3'600'000), 10},
      {"another window", 30, rollout(10, 300'000, kReset + 61), 30},
      {"a minute apart is the same window", 30, rollout(10, 300'000, kReset + 60), 10},
      {"no observation time", 30, plan::RolloutRateLimits{std::nullopt, reading(10)}, 30},
      {"no rollout", 30, std::nullopt, 30},
  };
  for (const auto& c : cases) {
    auto live = reading(c.live);
    live.reset_credits_available = 4;
    auto fixed = correct_with_rollout(live, c.rollout, now);
    EXPECT_EQ(fixed.secondary->used_percent, c.want) << c.name;
    EXPECT_EQ(fixed.primary, live.primary) << c.name;  // the 5-hour window is another window
    EXPECT_EQ(fixed.reset_credits_available, 4u) << c.name;
  }
  // Both windows equal to the weekly one are corrected.
  auto twice = reading(30);
  twice.primary = twice.secondary;
  auto fixed = correct_with_rollout(twice, rollout(10, 0), now);
  EXPECT_EQ(fixed.primary->used_percent, 10);
  EXPECT_EQ(fixed.secondary->used_percent, 10);
}

TEST(CodexDailyBreakdown, Shapes) {
  auto rows = parse_daily_breakdown(R"({"units":"percent","data":[
      {"date":"2026-01-06","product_surface_usage_values":{"web":1.5,"cli":4,"ide":0,"zero":-1,"text":"2"},
       "models":[{"model":"gpt-5","credits":2},{"model":"gpt-5-codex","speed":"fast","credits":3.5},{"model":"x","credits":0}]},
      {"date":"2026-01-05","product_surface_usage_values":{"cli":0},
       "models":[{"model":"gpt-5","credits":1.25},{"credits":9},{"model":"gpt-5-mini","speed":1,"credits":0.5}]},
      {"product_surface_usage_values":{"cli":9}},
      {"date":"2026-01-04"}]})");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (CodexDailyBreakdownRow{"2026-01-04", {}, {}, 0}));
  // Surfaces all 0: the day is the sum of its models.
  EXPECT_EQ(rows[1], (CodexDailyBreakdownRow{"2026-01-05",
                                             {},
                                             {{"gpt-5", std::nullopt, 1.25}, {"gpt-5-mini", std::nullopt, 0.5}},
                                             1.75}));
  EXPECT_EQ(rows[2], (CodexDailyBreakdownRow{"2026-01-06",
                                             {{"cli", 4}, {"web", 1.5}},
                                             {{"gpt-5-codex", "fast", 3.5}, {"gpt-5", std::nullopt, 2}},
                                             5.5}));

  for (const char* body : {R"({"units":"credits","data":[{"date":"2026-01-01"}]})", R"({"data":{}})", "[", ""})
    EXPECT_TRUE(parse_daily_breakdown(body).empty()) << body;
  EXPECT_EQ(parse_daily_breakdown(R"({"units":7,"data":[{"date":"d"}]})").size(), 1u);
}

class CodexService : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::unset_proxy_variables(env_);
    env_.set("CODEX_HOME", (dir_ / "a").string() + "," + (dir_ / "b").string());
    env_.set("QUILLIMARE_CHATGPT_URL", server_.url());
    // The first home has no token; the second one's is used as it is written.
    kit::write_file(dir_ / "a/auth.json", R"({"OPENAI_API_KEY":null})");
    kit::write_file(dir_ / "b/auth.json", "\n " R"({"tokens":{"access_token":" tok-b","refresh_token":"r"}})" " \n");
  }
  // A rollout record of the weekly window, observed at `ms`.
  void write_rollout(double used, std::int64_t ms) {
    kit::write_file(dir_ / "a/sessions/rollout-2026-01-01.jsonl",
                    fmt::format(R"({{"timestamp":"{}","payload":{{"rate_limits":{{"primary":{{"used_percent":{},"window_minutes":10080,"resets_at":{}}}}}}}}})",
                                date_utils::format_timestamp_ms(ms), used, kReset) +
                        "\n");
  }

  kit::TempDir dir_;
  kit::EnvGuard env_;
  kit::HttpServer server_;
};

TEST_F(CodexService, ThreeSamplesWithTheTokenAndOurHeaders) {
  EXPECT_EQ(read_access_token(), " tok-b");
  server_.on(kUsagePath, ScriptedResponse{200, {}, usage_reply(41)});
  kit::FakeClock clock{kReset * 1000 - 86'400'000LL, 0, {}};
  auto live = fetch_live_limits(false, clock.clock());
  EXPECT_EQ(live, reading(41));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, kUsagePath);
    EXPECT_EQ(r.headers, (kit::HeaderList{{"Host", fmt::format("127.0.0.1:{}", server_.port())},
                                          {"Authorization", "Bearer  tok-b"},
                                          {"Accept", "application/json"},
                                          {"User-Agent", "quillimare/20.0.21"}}));
  }

  // A rollout observed a minute ago that shows far less of the same week corrects the reading.
  write_rollout(12, clock.wall_ms - 60'000);
  EXPECT_EQ(fetch_live_limits(false, clock.clock())->secondary->used_percent, 12);
  clock.wall_ms += 600'000;  // now 11 minutes old
  EXPECT_EQ(fetch_live_limits(false, clock.clock())->secondary->used_percent, 41);

  // Offline: no request and no token read.
  server_.on(kUsagePath, ScriptedResponse{500});
  auto before = server_.requests().size();
  EXPECT_EQ(fetch_live_limits(true, clock.clock()), std::nullopt);
  EXPECT_EQ(server_.requests().size(), before);
  EXPECT_EQ(fetch_live_limits(false, clock.clock()), std::nullopt);  // three refusals
  EXPECT_EQ(server_.requests().size(), before + 3);
}

TEST_F(CodexService, RepliesThatGiveNothing) {
  const struct {
    const char* name;
    ScriptedResponse response;
  } cases[] = {
      {"status 201", {201, {}, usage_reply(1)}},
      {"status 401", {401, {}, usage_reply(1)}},
      {"not JSON", {200, {}, "<html>"}},
      {"not UTF-8", {200, {}, "{\"plan_type\":\"\xff\",\"rate_limit\":{}}"}},
      {"over 1,000,000 bytes", {200, {}, "{\"rate_limit\":{},\"pad\":\"" + std::string(1'000'000, 'x') + "\"}"}},
  };
  for (const auto& c : cases) {
    server_.on(kUsagePath, c.response);
    server_.on(kBreakdownPath, c.response);
    EXPECT_EQ(fetch_usage("t"), std::nullopt) << c.name;
    EXPECT_TRUE(fetch_daily_breakdown(false).empty()) << c.name;
  }
  server_.on(kUsagePath, ScriptedResponse{200, {}, "{\"rate_limit\":{},\"pad\":\"" + std::string(999'000, 'x') + "\"}"});
  EXPECT_TRUE(fetch_usage("t"));  // just under the cap

  // A service that does not answer in time.
  server_.on("/slow", ScriptedResponse{200, {}, "{}", 30s});
  auto client = usage_client();
  EXPECT_EQ(client.timeout, 5s);
  client.timeout = 200ms;
  EXPECT_EQ(get_json_with_bearer(server_.url("/slow"), "t", client), std::nullopt);

  // No token anywhere: nothing is asked.
  env_.set("CODEX_HOME", (dir_ / "a").string());
  auto before = server_.requests().size();
  EXPECT_EQ(read_access_token(), std::nullopt);
  EXPECT_EQ(fetch_live_limits(false), std::nullopt);
  EXPECT_TRUE(fetch_daily_breakdown(false).empty());
  EXPECT_EQ(server_.requests().size(), before);
}

TEST_F(CodexService, BreakdownOnAThreadOfItsOwn) {
  server_.on(kBreakdownPath,
             ScriptedResponse{200, {}, R"({"units":"percent","data":[{"date":"2026-01-02","models":[{"model":"m","credits":2}]},
                                          {"date":"2026-01-01","product_surface_usage_values":{"cli":1}}]})",
                              50ms});
  server_.on(kUsagePath, ScriptedResponse{200, {}, usage_reply(3)});
  DailyBreakdownTask task(false);
  // The live limits are sampled meanwhile, as the harness does while usage loads.
  EXPECT_TRUE(fetch_live_limits(false));
  auto rows = task.join();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].date, "2026-01-01");
  EXPECT_EQ(rows[1].used_percent, 2);
  EXPECT_TRUE(task.join().empty());
  auto breakdown = server_.requests();
  auto it = std::find_if(breakdown.begin(), breakdown.end(), [](const auto& r) { return r.target == kBreakdownPath; });
  ASSERT_NE(it, breakdown.end());
  EXPECT_EQ(it->header("Authorization"), "Bearer  tok-b");

  // Dropped without a join (a failed load): the request is waited for, not left running.
  std::atomic<bool> finished = false;
  {
    DailyBreakdownTask dropped([&] {
      std::this_thread::sleep_for(50ms);
      finished = true;
      return std::vector<CodexDailyBreakdownRow>{};
    });
  }
  EXPECT_TRUE(finished);
  DailyBreakdownTask offline(true);
  EXPECT_TRUE(offline.join().empty());
}

}  // namespace
}  // namespace qm::codex::live_usage
