// Quota windows and limit states: the window arithmetic, the Codex limits completed from the
// rollouts, Cursor's promotional window, and the three services read from loopback servers.
#include "adapter/all/quota.h"

#include <gtest/gtest.h>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "adapter/all/rows.h"
#include "adapter/claude/account_home.h"
#include "adapter/cursor/dashboard.h"
#include "date_utils.h"
#include "kit/env.h"
#include "kit/fake_clock.h"
#include "kit/http_server.h"

namespace qm::all::quota {
namespace {

using codex::plan::CodexRateLimits;
using codex::plan::RateLimitWindow;
using kit::ScriptedResponse;
using testing::part;

constexpr std::int64_t kNow = 1'767'614'400'000;  // 2026-01-05T12:00:00Z
constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kDay = 86'400'000;

const cctz::time_zone kUtc = *date_utils::find_time_zone("UTC");

TEST(QuotaWindows, ValidOnlyWhileTheWindowRuns) {
  const struct {
    const char* name;
    std::int64_t minutes, resets;
    double used;
    std::optional<double> elapsed;
  } cases[] = {
      {"a week resetting in 2 days", 10080, kNow + 2 * kDay, 30, 500.0 / 7},
      {"starting now", 300, kNow + 300 * kMinute, 100, 0},
      {"resets now", 10080, kNow, 30, std::nullopt},
      {"reset in the past", 10080, kNow - 1, 30, std::nullopt},
      {"not begun", 60, kNow + 61 * kMinute, 30, std::nullopt},
      {"over 100%", 10080, kNow + kDay, 100.5, std::nullopt},
      {"negative", 10080, kNow + kDay, -1, std::nullopt},
      {"not a number", 10080, kNow + kDay, NAN, std::nullopt},
      {"no length", 0, kNow + kDay, 30, std::nullopt},
      {"too long to count", INT64_MAX / kMinute + 1, kNow + kDay, 30, std::nullopt},
  };
  for (const auto& c : cases) {
    auto w = build_quota_window("codex", c.minutes, c.resets, kNow, c.used);
    ASSERT_EQ(w.has_value(), c.elapsed.has_value()) << c.name;
    if (!w) continue;
    EXPECT_EQ(w->observed_at, kNow);
    EXPECT_EQ(w->window.window_minutes, c.minutes);
    EXPECT_EQ(w->window.used_percent, c.used);
    EXPECT_NEAR(w->window.elapsed_percent, *c.elapsed, 1e-9) << c.name;
  }
  QuotaWindow claude{"claude", kNow, {10080, 30, 50}, WindowFigures{300, 12, 40}};
  EXPECT_EQ(nlohmann::json::parse(quota_window_json(claude).dump()),
            nlohmann::json::parse(R"({"agent":"claude","observedAt":1767614400000,
                "window":{"windowMinutes":10080,"usedPercent":30.0,"elapsedPercent":50.0,"apiEquivalentSpent":0},
                "sessionWindow":{"windowMinutes":300,"usedPercent":12.0,"elapsedPercent":40.0,"apiEquivalentSpent":0}})"));
  // Percents are floats even when whole.
  EXPECT_NE(quota_window_json(claude).dump().find(R"("usedPercent":30.0)"), std::string::npos);
}

TEST(LimitStates, ProgressAndSpendSinceTheWindowBegan) {
  auto rows = loader::merge_rows_by_label({
      part("codex", "2026-01-03", 4, 1, {{"gpt-5", 4}}),
      part("codex", "2026-01-05", 1, 1, {{"gpt-5", 1}}),
  });
  const std::int64_t start = kNow - 2 * kDay - 12 * 60 * kMinute;  // 2026-01-03T00:00Z
  auto p = window_progress(10080, start, rows, "codex", 20, kNow, kUtc);
  EXPECT_EQ(p, (WindowProgress{10080, 20, 3600, 5}));
  EXPECT_EQ(window_progress(10080, start, rows, "codex", -1, kNow, kUtc), std::nullopt);
  EXPECT_EQ(window_progress(10080, start, rows, "codex", INFINITY, kNow, kUtc), std::nullopt);
  EXPECT_EQ(window_progress(10080, kNow, rows, "codex", 20, kNow, kUtc), std::nullopt);
  // A window that has already reset (an old reading) is left out: it would count beyond itself.
  EXPECT_EQ(window_progress(2880, start, rows, "codex", 20, kNow, kUtc), std::nullopt);
  EXPECT_TRUE(window_progress(3661, start, rows, "codex", 20, kNow, kUtc));

  // A Codex reading: the weekly window's progress, the longest window under a day.
  const std::int64_t reset_s = (start + 7 * kDay) / 1000;
  CodexRateLimits limits{RateLimitWindow{7, 300, std::nullopt}, RateLimitWindow{20, 10080, reset_s}, "plus", "codex", 3};
  auto state = codex_state_from_limits(limits, rows, kNow, kUtc);
  EXPECT_EQ(state, (LimitState{p, ShortWindow{300, 7}, "plus", 3}));
  limits.primary = RateLimitWindow{9, 1440, std::nullopt};  // a day is not shorter than a day
  limits.secondary->resets_at = kNow / 1000 - 1;           // reset a second ago
  state = codex_state_from_limits(limits, rows, kNow, kUtc);
  EXPECT_EQ(state.weekly, std::nullopt);
  EXPECT_EQ(state.shorter, std::nullopt);
  limits.primary = RateLimitWindow{9, 60, std::nullopt};
  limits.secondary = RateLimitWindow{8, 60, std::nullopt};  // equal lengths: the secondary
  EXPECT_EQ(codex_state_from_limits(limits, rows, kNow, kUtc).shorter, (ShortWindow{60, 8}));
  limits.secondary->resets_at = kNow / 1000;  // reset now: the primary is the current one
  EXPECT_EQ(codex_state_from_limits(limits, rows, kNow, kUtc).shorter, (ShortWindow{60, 9}));
  limits.secondary = RateLimitWindow{8, 0, std::nullopt};  // no minutes: no window
  EXPECT_EQ(codex_state_from_limits(limits, rows, kNow, kUtc).shorter, (ShortWindow{60, 9}));
  limits.primary->window_minutes = 0;
  EXPECT_EQ(codex_state_from_limits(limits, rows, kNow, kUtc).shorter, std::nullopt);
  limits.secondary = RateLimitWindow{8, 10080, INT64_MAX};  // a start that cannot be computed
  EXPECT_EQ(codex_state_from_limits(limits, rows, kNow, kUtc).weekly, std::nullopt);
}

TEST(LimitStates, CodexLimitsCompletedFromTheRollout) {
  const RateLimitWindow weekly{20, 10080, 1'767'900'000}, session{5, 300, 1'767'620'000};
  auto limits = [](std::string plan, std::optional<RateLimitWindow> primary, std::optional<RateLimitWindow> secondary) {
    return CodexRateLimits{primary, secondary, std::move(plan), "codex", std::nullopt};
  };
  const struct {
    const char* name;
    std::optional<CodexRateLimits> live, rollout;
    std::optional<CodexRateLimits> want;
    bool rollout_asked;
  } cases[] = {
      {"live and known", limits("pro", session, weekly), limits("plus", session, weekly), limits("pro", session, weekly), false},
      {"no live reading", std::nullopt, limits("", std::nullopt, weekly), limits("", std::nullopt, weekly), true},
      {"neither", std::nullopt, std::nullopt, std::nullopt, true},
      {"plan from the rollout", limits("unknown", session, weekly), limits("plus", std::nullopt, std::nullopt),
       limits("plus", session, weekly), true},
      // A rollout record without a plan type says nothing about the plan.
      {"empty rollout plan", limits("unknown", session, weekly), limits("", std::nullopt, std::nullopt),
       limits("unknown", session, weekly), true},
      {"windows from the rollout", limits("pro", session, std::nullopt), limits("plus", std::nullopt, weekly),
       limits("pro", std::nullopt, weekly), true},
      {"no rollout", limits("unknown", session, std::nullopt), std::nullopt, limits("unknown", session, std::nullopt), true},
  };
  for (const auto& c : cases) {
    bool asked = false;
    auto got = merge_codex_limits(c.live, [&] {
      asked = true;
      return c.rollout;
    });
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_EQ(asked, c.rollout_asked) << c.name;
  }
}

nlohmann::json grant(const char* kind, double remaining, std::optional<std::int64_t> expires, double total = 40) {
  return {{"kind", kind}, {"remainingUSD", remaining}, {"totalUSD", total},
          {"expiresAtMs", expires ? nlohmann::json(*expires) : nlohmann::json(nullptr)}};
}

nlohmann::json account(nlohmann::json grants, nlohmann::json active_percent = nullptr,
                       nlohmann::json cycle_end = nullptr) {
  return {{"grants", std::move(grants)}, {"activePercentUsed", std::move(active_percent)},
          {"billingCycleEndMs", std::move(cycle_end)}};
}

TEST(CursorQuota, PromotionalGrantsMakeAYearLongWindow) {
  // The lists are spelled out: a braced single grant may be read as that grant, not a list.
  using json = nlohmann::json;
  const std::int64_t in10d = kNow + 10 * kDay;
  const struct {
    const char* name;
    nlohmann::json account;
    std::optional<WindowFigures> want;
  } cases[] = {
      {"a promo grant expiring in 10 days", account(json::array({grant("promo", 10, in10d)}), 25),
       WindowFigures{525'600, 25, 355.0 / 365 * 100}},
      {"used from the grants", account(json::array({grant("promo", 10, in10d), grant("other", 0, std::nullopt, 0)})),
       WindowFigures{525'600, 75, 355.0 / 365 * 100}},
      {"the first expiry", account(json::array({grant("promo", 1, kNow + 20 * kDay), grant("promo", 1, in10d)}), 5),
       WindowFigures{525'600, 5, 355.0 / 365 * 100}},
      {"the billing cycle without expiries", account(json::array({grant("promo", 1, std::nullopt)}), 5, kNow + 5 * kDay),
       WindowFigures{525'600, 5, 360.0 / 365 * 100}},
      // Beyond a year the window is as long as the wait, rounded up to a whole minute.
      {"expiring in 400 days and 30 seconds", account(json::array({grant("promo", 1, kNow + 400 * kDay + 30'000)}), 5),
       WindowFigures{400 * 1440 + 1, 5, 30.0 / (400 * 86'400 + 60) * 100}},
      {"no promo grant", account(json::array({grant("free", 10, in10d)}), 25), std::nullopt},
      {"nothing remaining", account(json::array({grant("promo", 0, in10d)}), 25), std::nullopt},
      {"no grants", account(json::array(), 25), std::nullopt},
      {"grants not a list", account(nullptr, 25), std::nullopt},
      {"over 100%", account(json::array({grant("promo", 1, in10d)}), 100.5), std::nullopt},
      {"expired", account(json::array({grant("promo", 1, kNow)}), 5), std::nullopt},
      {"no reset time", account(json::array({grant("promo", 1, std::nullopt)}), 5), std::nullopt},
      {"not an object", nlohmann::json::array(), std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.account.is_object()) {
      EXPECT_FALSE(c.account.at("grants").is_object()) << c.name;
    }
    auto w = cursor_quota_window(c.account, kNow);
    ASSERT_EQ(w.has_value(), c.want.has_value()) << c.name;
    if (!w) continue;
    EXPECT_EQ(w->agent, "cursor");
    EXPECT_EQ(w->window.window_minutes, c.want->window_minutes) << c.name;
    EXPECT_EQ(w->window.used_percent, c.want->used_percent) << c.name;
    EXPECT_NEAR(w->window.elapsed_percent, c.want->elapsed_percent, 1e-6) << c.name;
  }
}

// Each service on a loopback server, with a home that signs in to all three.
class LiveQuota : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::unset_proxy_variables(env_);
    env_.set("CODEX_HOME", (dir_ / "codex").string()).set("QUILLIMARE_CHATGPT_URL", chatgpt_.url());
    kit::write_file(dir_ / "codex/auth.json", R"({"tokens":{"access_token":"codex-tok"}})");
    env_.set("CURSOR_DATA_DIR", (dir_ / "cursor").string()).unset("CURSOR_ACCESS_TOKEN");
    env_.set("QUILLIMARE_CURSOR_API_URL", cursor_.url());
    cursor::test::state_db(dir_ / "cursor/state.vscdb", {{"cursorAuth/accessToken", "cursor-tok"}});
  }
  // A fresh Claude report in our cache: the reading needs no credentials.
  void claude_report(const std::string& body, std::int64_t fetched_at) {
    claude_.write_cache({std::nullopt, body, fetched_at, std::nullopt});
  }

  claude::testing::AccountHome claude_;  // sets HOME, our cache directory and the Anthropic hosts
  kit::TempDir dir_;
  kit::EnvGuard env_;
  kit::HttpServer chatgpt_, cursor_;
  kit::FakeClock clock_{kNow, 0, {}};
};

TEST_F(LiveQuota, EachServiceByItsWord) {
  chatgpt_.on("/backend-api/wham/usage",
              ScriptedResponse{200, {}, fmt::format(R"({{"plan_type":"plus","rate_limit":{{"primary_window":
                  {{"used_percent":30,"limit_window_seconds":604800,"reset_at":{}}}}}}})",
                                                    (kNow + 2 * kDay) / 1000)});
  auto codex = collect_live_quota("codex", false, clock_.clock());
  ASSERT_TRUE(codex);
  EXPECT_EQ(codex->window, (WindowFigures{10080, 30, 500.0 / 7}));
  EXPECT_EQ(codex->observed_at, kNow);

  cursor_.on(cursor::test::kLimitsPath,
             ScriptedResponse{200, {}, fmt::format(R"({{"activeGrants":[{{"grantType":"promo","totalCents":4000,
                 "remainingCents":1000,"expiresAtMs":"{}"}}]}})", kNow + 10 * kDay)});
  auto cursor = collect_live_quota("cursor", false, clock_.clock());
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->window.window_minutes, 525'600);
  EXPECT_EQ(cursor->window.used_percent, 75);

  // Claude's report is seen as it was when fetched, 30 s ago; an invalid session window
  // only drops "sessionWindow".
  const std::int64_t fetched = kNow - 30'000;
  claude_report(fmt::format(R"({{"seven_day":{{"utilization":40,"resets_at":"{}"}},
                                "five_hour":{{"utilization":10,"resets_at":"{}"}}}})",
                            date_utils::format_timestamp_ms(fetched + 3 * kDay),
                            date_utils::format_timestamp_ms(fetched + 60 * kMinute)),
                fetched);
  auto claude = collect_live_quota("claude", false, clock_.clock());
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->observed_at, fetched);
  EXPECT_EQ(claude->window.used_percent, 40);
  EXPECT_NEAR(claude->window.elapsed_percent, 400.0 / 7, 1e-9);
  EXPECT_EQ(claude->session_window, (WindowFigures{300, 10, 80}));
  claude_report(fmt::format(R"({{"seven_day":{{"utilization":40,"resets_at":"{}"}},"five_hour":{{"utilization":10}}}})",
                            date_utils::format_timestamp_ms(fetched + 3 * kDay)),
                fetched);
  claude = collect_live_quota("claude", false, clock_.clock());
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->session_window, std::nullopt);
  // Without the weekly window there is no reading, whatever the session window says.
  claude_report(fmt::format(R"({{"five_hour":{{"utilization":10,"resets_at":"{}"}}}})",
                            date_utils::format_timestamp_ms(fetched + 60 * kMinute)),
                fetched);
  EXPECT_EQ(collect_live_quota("claude", false, clock_.clock()), std::nullopt);

  EXPECT_EQ(collect_live_quota("gemini", false, clock_.clock()), std::nullopt);
  auto asked = chatgpt_.requests().size() + cursor_.requests().size() + claude_.usage_requests().size();
  for (const char* word : {"codex", "claude", "cursor"}) EXPECT_EQ(collect_live_quota(word, true, clock_.clock()), std::nullopt);
  EXPECT_EQ(chatgpt_.requests().size() + cursor_.requests().size() + claude_.usage_requests().size(), asked);
}

TEST_F(LiveQuota, LimitStatesOfCodexAndClaude) {
  auto rows = loader::merge_rows_by_label({
      part("codex", "2026-01-04", 6, 1, {{"gpt-5", 6}}),
      part("claude", "2026-01-05", 2, 1, {{"claude-sonnet-4-5", 2}}),
  });
  // A live reading without a weekly window or plan: both from the newest rollout.
  chatgpt_.on("/backend-api/wham/usage",
              ScriptedResponse{200, {}, R"({"rate_limit":{"primary_window":{"used_percent":4,"limit_window_seconds":18000}},
                                           "rate_limit_reset_credits":{"available_count":1}})"});
  kit::write_file(dir_ / "codex/sessions/rollout-2026-01-05.jsonl",
                  fmt::format(R"({{"timestamp":"2026-01-05T10:00:00Z","payload":{{"rate_limits":{{"plan_type":"pro",)"
                              R"("primary":{{"used_percent":25,"window_minutes":10080,"resets_at":{}}}}}}}}})",
                              (kNow + 6 * kDay) / 1000) +
                      "\n");
  auto codex = codex_limit_state(rows, false, kUtc, clock_.clock());
  ASSERT_TRUE(codex);
  EXPECT_EQ(codex->plan_type, "pro");
  EXPECT_EQ(codex->weekly, (WindowProgress{10080, 25, 1440, 6 * 0.5}));
  EXPECT_EQ(codex->shorter, std::nullopt);  // the live 5-hour window went with the rollout's windows
  EXPECT_EQ(codex->reset_credits_available, 1u);
  // Offline: the rollout alone.
  auto offline = codex_limit_state(rows, true, kUtc, clock_.clock());
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->reset_credits_available, std::nullopt);
  EXPECT_EQ(offline->weekly, codex->weekly);

  claude_report(fmt::format(R"({{"seven_day":{{"utilization":50,"resets_at":"{}"}},"five_hour":{{"utilization":3}}}})",
                            date_utils::format_timestamp_ms(kNow + 6 * kDay)),
                kNow - 600'000);
  auto claude = claude_limit_state(rows, false, kUtc, clock_.clock());
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->weekly, (WindowProgress{10080, 50, 1440, 2}));
  EXPECT_EQ(claude->shorter, (ShortWindow{300, 3}));
  EXPECT_EQ(claude->plan_type, "");
  // A session window that reset a second ago is no window.
  claude_report(fmt::format(R"({{"seven_day":{{"utilization":50,"resets_at":"{}"}},
                                "five_hour":{{"utilization":3,"resets_at":"{}"}}}})",
                            date_utils::format_timestamp_ms(kNow + 6 * kDay), date_utils::format_timestamp_ms(kNow - 1000)),
                kNow - 600'000);
  claude = claude_limit_state(rows, false, kUtc, clock_.clock());
  ASSERT_TRUE(claude);
  EXPECT_TRUE(claude->weekly);
  EXPECT_EQ(claude->shorter, std::nullopt);
  // A reading older than 15 minutes is no reading when the service cannot be asked.
  clock_.wall_ms += 300'001;
  EXPECT_EQ(claude_limit_state(rows, false, kUtc, clock_.clock()), std::nullopt);
}

}  // namespace
}  // namespace qm::all::quota
