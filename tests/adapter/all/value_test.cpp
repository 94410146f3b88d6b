// --value: the subscription value block, and `quillimare summary --value` run as a user would
// with Codex and Cursor signed in against loopback services.
#include <gtest/gtest.h>

#include <fmt/core.h>

#include "adapter/all/subscription.h"
#include "adapter/all/summary/value.h"
#include "adapter/codex/rollout.h"
#include "adapter/cursor/dashboard.h"
#include "date_utils.h"
#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/run.h"

namespace qm::all::summary {
namespace {

using kit::ScriptedResponse;
using subscription::SubscriptionPlan;
using subscription::ValueReport;

const ConsoleSettings kPlain{false, std::nullopt, true};
const ConsoleSettings kColour{true, std::nullopt, false};

TEST(ValueBlock, EstimatesRatiosAndHints) {
  ValueReport report;
  report.period = SummaryPeriod{"2026-01-05", "2026-01-06"};
  report.rows = {
      {"codex", 12, SubscriptionPlan{"Plus", 20},
       quota::LimitState{quota::WindowProgress{10080, 20, 2880, 30}, quota::ShortWindow{300, 7}, "plus", 2}, true},
      {"claude", 12.5, SubscriptionPlan{"Max 20×", 200},
       quota::LimitState{std::nullopt, quota::ShortWindow{300, 2.4}, "", std::nullopt}, true},
      {"claude", 5, {}, quota::LimitState{quota::WindowProgress{10080, 2, 1440, 5}, std::nullopt, "", std::nullopt}, true},
      {"cursor", 1.25, {}, std::nullopt, false},
  };
  EXPECT_EQ(render_value_block(report, kPlain),
            "\n  subscription value  ·  2026-01-05 → 2026-01-06\n"
            "    codex  ·  Plus ($20/mo)\n"
            "      weekly limit 20% used over 2.0d · resets in 5.0d · $30.00 API-equiv spent\n"
            "      → full weekly quota ≈ $150.00  ·  ≈ $652.23/mo of API usage\n"
            "      → quota worth up to 33× your $20/mo plan\n"
            "      on pace to use ~70% of the weekly quota by reset\n"
            "      5h window: 7% used\n"
            "    claude  ·  Max 20× ($200/mo)\n"
            "      spent $12.50 this period (2026-01-05 → 2026-01-06) → 0.1× the $200/mo plan\n"
            "      not enough usage in the current limit window to extrapolate yet\n"
            "      5h window: 2% used\n"
            "    claude  ·  plan not detected\n"
            "      weekly limit 2% used over 1.0d · resets in 6.0d · $5.00 API-equiv spent\n"
            "      → full weekly quota ≈ $250.00  ·  ≈ $1.1k/mo of API usage\n"
            "      pass --claude-plan <PRICE> to turn this into a value multiple\n"
            "      on pace to use ~14% of the weekly quota by reset\n"
            "      rough estimate — only 2% of the quota sampled so far\n"
            "    cursor  ·  plan not detected\n"
            "      spent $1.25 this period (2026-01-05 → 2026-01-06)\n"
            "      pass --cursor-plan <PRICE> for a value ratio\n"
            "      no live limits available to extrapolate a weekly quota\n");

  EXPECT_EQ(render_value_block({}, kPlain), "\n  subscription value\n    no agent usage to value\n");

  // A trace of use scales the spend beyond any number: no estimate, as with none used. A
  // window of no minutes is no window.
  ValueReport trace;
  trace.rows = {{"codex", 12, SubscriptionPlan{"Plus", 20},
                 quota::LimitState{quota::WindowProgress{10080, 1e-320, 2880, 30}, std::nullopt, "plus", std::nullopt},
                 true}};
  codex::plan::CodexRateLimits limits{codex::plan::RateLimitWindow{9, 0, std::nullopt}, std::nullopt, "plus", "codex",
                                      std::nullopt};
  trace.rows[0].limits->shorter = quota::codex_state_from_limits(limits, {}, 0, cctz::utc_time_zone()).shorter;
  EXPECT_EQ(render_value_block(trace, kPlain),
            "\n  subscription value\n"
            "    codex  ·  Plus ($20/mo)\n"
            "      spent $12.00 this period → 0.6× the $20/mo plan\n"
            "      not enough usage in the current limit window to extrapolate yet\n");
  kit::EnvGuard env;
  env.unset("NO_COLOR");
  auto colour = render_value_block(report, kColour);
  EXPECT_NE(colour.find("    \x1b[32mcodex  ·  Plus ($20/mo)\x1b[0m\n"), std::string::npos) << colour;
  EXPECT_NE(colour.find("      \x1b[33m→ quota worth up to 33× your $20/mo plan\x1b[0m\n"), std::string::npos);
  EXPECT_NE(colour.find("    \x1b[31mcursor"), std::string::npos);
}

// A home with a week of Codex usage, Cursor signed in, and both services on loopback servers.
class ValueRun : public ::testing::Test {
 protected:
  void SetUp() override {
    now_ = date_utils::now_ms();
    const std::int64_t day = 86'400'000;
    today_ = date_utils::utc_date_from_ms(now_);
    since_ = date_utils::utc_date_from_ms(now_ - 3 * day);
    std::string rollout = codex::testing::turn_context("gpt-5");
    for (int i = 3; i >= 0; --i)
      rollout += codex::testing::token_count(codex::testing::quoted(date_utils::format_timestamp_ms(now_ - i * day)),
                                             codex::testing::Usage{400'000, 0, 20'000, 0, 420'000});
    kit::write_file(home_ / ".codex/sessions/rollout-a.jsonl", rollout);
    kit::write_file(home_ / ".codex/auth.json", R"({"tokens":{"access_token":"codex-tok"}})");
    chatgpt_.on("/backend-api/wham/usage",
                ScriptedResponse{200, {}, fmt::format(R"({{"plan_type":"plus","rate_limit":{{
                    "primary_window":{{"used_percent":7,"limit_window_seconds":18000,"reset_at":{}}},
                    "secondary_window":{{"used_percent":20,"limit_window_seconds":604800,"reset_at":{}}}}},
                    "rate_limit_reset_credits":{{"available_count":1}}}})",
                                                      now_ / 1000 + 3600, now_ / 1000 + 5 * 86'400)});

    cursor::test::state_db(home_ / ".config/Cursor/User/globalStorage/state.vscdb",
                           {{"cursorAuth/accessToken", "cursor-tok"}, {"cursorAuth/stripeMembershipType", "pro"}});
    cursor_.on(cursor::test::kEventsPath,
               ScriptedResponse{200, {}, R"({"aggregations":[{"modelIntent":"gpt-5","inputTokens":4000,"outputTokens":20}]})"});
    cursor_.on(cursor::test::kPeriodPath,
               ScriptedResponse{200, {}, R"({"planUsage":{"limit":2000,"remaining":500,"totalSpend":1500}})"});
    cursor_.on(cursor::test::kLimitsPath,
               ScriptedResponse{200, {}, fmt::format(R"({{"activeGrants":[{{"grantType":"promo","totalCents":4000,
                   "remainingCents":1000,"expiresAtMs":{}}}]}})", now_ + 10 * 86'400'000)});
  }

  kit::RunResult run(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) {
    std::vector<std::string> argv{QM_BINARY, "summary", "--since", since_, "--until", today_};
    argv.insert(argv.end(), args.begin(), args.end());
    kit::RunOptions o;
    o.env = kit::base_env(home_.path().string());
    o.env["QUILLIMARE_CHATGPT_URL"] = chatgpt_.url();
    o.env["QUILLIMARE_CURSOR_API_URL"] = cursor_.url();
    o.env["QUILLIMARE_LITELLM_URL"] = "http://127.0.0.1:9";
    for (auto& [k, v] : extra) o.env[k] = v;
    return kit::run(argv, o);
  }
  std::size_t requests() const { return chatgpt_.requests().size() + cursor_.requests().size(); }

  kit::TempDir home_;
  kit::HttpServer chatgpt_, cursor_;
  std::int64_t now_ = 0;
  std::string today_, since_;
};

TEST_F(ValueRun, TextAndDocument) {
  auto text = run({"--value"});
  ASSERT_EQ(text.status, 0) << text.err;
  auto block = text.out.substr(text.out.find("\n  subscription value"));
  EXPECT_EQ(block.rfind("\n  subscription value  ·  " + since_ + " → " + today_ + "\n    codex  ·  Plus ($20/mo)\n"
                        "      weekly limit 20% used over 2.0d · resets in 5.0d · $",
                        0),
            0u)
      << block;
  EXPECT_NE(block.find("      5h window: 7% used\n    cursor  ·  Pro ($20/mo)\n      spent $"), std::string::npos)
      << block;
  EXPECT_EQ(chatgpt_.requests().size(), 3u);  // three samples

  auto json = run({"--value", "--json", "--codex-plan", "$30", "--cursor-plan", "pro plus"});
  ASSERT_EQ(json.status, 0) << json.err;
  auto doc = nlohmann::json::parse(json.out);
  auto sub = doc["subscription"];
  EXPECT_EQ(sub["period"], (nlohmann::json{{"from", since_}, {"to", today_}}));
  ASSERT_EQ(sub["agents"].size(), 2u) << sub.dump();
  auto codex = sub["agents"][0];
  EXPECT_EQ(codex["agent"], "codex");
  EXPECT_EQ(codex["plan"], "Plus");
  EXPECT_EQ(codex["pricePerMonth"], 30);
  EXPECT_EQ(codex["liveLimits"], true);
  EXPECT_EQ(codex["resetCreditsAvailable"], 1);
  EXPECT_EQ(codex["shortWindow"], (nlohmann::json{{"label", "5h"}, {"usedPercent", 7}}));
  EXPECT_EQ(codex["window"]["label"], "weekly");
  // Two days into the window: the usage of the last two days and a bit (the rows are UTC days).
  const double spend = codex["window"]["apiEquivalentSpent"].get<double>();
  const double per_day = doc["agents"][0]["daily"][0]["cost"].get<double>();
  EXPECT_GT(spend, 2 * per_day);
  EXPECT_LT(spend, 3 * per_day);
  EXPECT_NEAR(codex["estimate"]["fullQuotaValue"].get<double>(), spend * 5, 1e-9);
  EXPECT_NEAR(codex["estimate"]["valueMultiple"].get<double>(), spend * 5 * 30.4375 / 7 / 30, 1e-9);
  EXPECT_EQ(sub["agents"][1], nlohmann::json::parse(R"({"agent":"cursor","plan":"Pro+","pricePerMonth":60,
      "periodUsage":)" + doc["agents"][1]["totalCost"].dump() + R"(,"liveLimits":false,"window":null,"estimate":null,
      "shortWindow":null,"resetCreditsAvailable":null})"));
  EXPECT_EQ(doc["cursorAccount"]["activePercentUsed"], 75);
  EXPECT_EQ(doc["cursorAccount"]["includedLimitUSD"], 20);
  EXPECT_FALSE(doc.contains("claudeAccount"));

  // --agents codex: the Cursor account is not asked for.
  auto before = cursor_.requests().size();
  auto codex_only = nlohmann::json::parse(run({"--value", "--json", "--agents", "codex"}).out);
  EXPECT_FALSE(codex_only.contains("cursorAccount"));
  EXPECT_EQ(codex_only["subscription"]["agents"].size(), 1u);
  EXPECT_EQ(cursor_.requests().size(), before);

  // Without --value the summary asks no service of its own (the Cursor usage is loaded all the same).
  auto plain = run({"--json", "--agents", "codex"});
  ASSERT_EQ(plain.status, 0);
  EXPECT_FALSE(nlohmann::json::parse(plain.out).contains("subscription"));
  EXPECT_EQ(cursor_.requests().size(), before);
}

TEST_F(ValueRun, ATraceOfUseAndAWindowOfNoMinutesAreNoFigures) {
  chatgpt_.on("/backend-api/wham/usage",
              ScriptedResponse{200, {}, fmt::format(R"({{"plan_type":"plus","rate_limit":{{
                  "primary_window":{{"used_percent":9,"limit_window_seconds":30,"reset_at":{}}},
                  "secondary_window":{{"used_percent":1e-320,"limit_window_seconds":604800,"reset_at":{}}}}}}})",
                                                    now_ / 1000 + 20, now_ / 1000 + 5 * 86'400)});
  auto text = run({"--value", "--agents", "codex"});
  ASSERT_EQ(text.status, 0) << text.err;
  const auto block = text.out.substr(text.out.find("\n  subscription value"));
  EXPECT_NE(block.find("    codex  ·  Plus ($20/mo)\n      spent $"), std::string::npos) << block;
  EXPECT_NE(block.find("      not enough usage in the current limit window to extrapolate yet\n"), std::string::npos)
      << block;
  EXPECT_EQ(block.find("inf"), std::string::npos) << block;
  EXPECT_EQ(block.find("window: 9% used"), std::string::npos) << block;

  auto doc = nlohmann::json::parse(run({"--value", "--json", "--agents", "codex"}).out);
  auto codex = doc["subscription"]["agents"][0];
  EXPECT_EQ(codex["window"]["label"], "weekly") << codex;
  EXPECT_TRUE(codex["estimate"].is_null()) << codex;
  EXPECT_TRUE(codex["shortWindow"].is_null()) << codex;
}

TEST_F(ValueRun, OfflineAsksNobody) {
  auto text = run({"--value", "--offline"});
  ASSERT_EQ(text.status, 0) << text.err;
  // Codex without any limit reading is not valued; Cursor's usage needs its service.
  EXPECT_NE(text.out.find("\n  subscription value  ·  "), std::string::npos);
  EXPECT_NE(text.out.find("    no agent usage to value\n"), std::string::npos) << text.out;
  auto doc = nlohmann::json::parse(run({"--value", "--offline", "--json"}).out);
  EXPECT_EQ(doc["subscription"]["agents"], nlohmann::json::array());
  EXPECT_FALSE(doc.contains("cursorAccount"));
  EXPECT_EQ(requests(), 0u);

  // With a rollout record of the limits, Codex is valued from it.
  kit::write_file(home_ / ".codex/sessions/rollout-b.jsonl",
                  fmt::format(R"({{"timestamp":"{}","payload":{{"rate_limits":{{"primary":{{"used_percent":10,"window_minutes":10080,"resets_at":{}}}}}}}}})",
                              date_utils::format_timestamp_ms(now_), now_ / 1000 + 86'400) +
                      "\n");
  doc = nlohmann::json::parse(run({"--value", "--offline", "--json"}).out);
  ASSERT_EQ(doc["subscription"]["agents"].size(), 1u);
  EXPECT_EQ(doc["subscription"]["agents"][0]["plan"], "Unknown");  // the record names no plan
  EXPECT_EQ(doc["subscription"]["agents"][0]["window"]["usedPercent"], 10);
  EXPECT_EQ(requests(), 0u);
}

TEST_F(ValueRun, OneClaudeReadingServesTheValueAndTheAccount) {
  kit::write_file(home_ / ".claude/projects/p/s.jsonl",
                  fmt::format(R"({{"sessionId":"s","type":"assistant","message":{{"model":"claude-sonnet-4-5","id":"m1",)"
                              R"("usage":{{"input_tokens":100000,"output_tokens":1000}}}},"requestId":"r1","timestamp":"{}"}})",
                              date_utils::format_timestamp_ms(now_)) +
                      "\n");
  kit::write_file(home_ / ".claude/.credentials.json",
                  fmt::format(R"({{"claudeAiOauth":{{"accessToken":"claude-tok","expiresAt":{}}}}})", now_ + 3'600'000));
  kit::write_file(home_ / ".claude.json", R"({"oauthAccount":{"userRateLimitTier":"default_claude_max_20x"}})");
  kit::HttpServer anthropic;
  anthropic.on("/api/oauth/usage",
               ScriptedResponse{200, {}, fmt::format(R"({{"seven_day":{{"utilization":25,"resets_at":"{}"}},
                   "five_hour":{{"utilization":9,"resets_at":"{}"}}}})",
                                                     date_utils::format_timestamp_ms(now_ + 3 * 86'400'000),
                                                     date_utils::format_timestamp_ms(now_ + 3'600'000))});
  // Forced past our cache, so that each reading of the limits would ask the service.
  auto json = run({"--value", "--json", "--agents", "claude"},
                  {{"QUILLIMARE_ANTHROPIC_API_URL", anthropic.url()}, {"QUILLIMARE_FORCE_REFRESH", "1"}});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(anthropic.requests().size(), 1u);
  auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["claudeAccount"]["weeklyUsedPercent"], 25.0);
  auto claude = doc["subscription"]["agents"][0];
  EXPECT_EQ(claude["agent"], "claude");
  EXPECT_EQ(claude["plan"], "Max 20×");
  EXPECT_EQ(claude["window"]["usedPercent"], 25);
  EXPECT_EQ(claude["window"]["apiEquivalentSpent"], doc["totals"]["totalCost"]);
  EXPECT_EQ(claude["shortWindow"], (nlohmann::json{{"label", "5h"}, {"usedPercent", 9}}));
}

TEST_F(ValueRun, TheReportCarriesTheValues) {
  kit::write_file(home_ / ".codex/sessions/rollout-b.jsonl",
                  fmt::format(R"({{"timestamp":"{}","payload":{{"rate_limits":{{"plan_type":"pro","primary":{{"used_percent":10,"window_minutes":10080,"resets_at":{}}}}}}}}})",
                              date_utils::format_timestamp_ms(now_), now_ / 1000 + 86'400) +
                      "\n");
  kit::write_file(home_ / "bin/xdg-open", "#!/bin/sh\n");
  std::filesystem::permissions(home_ / "bin/xdg-open", std::filesystem::perms(0755));
  auto html = run({"--value", "--offline", "--html"}, {{"PATH", (home_ / "bin").string() + ":/usr/bin:/bin"}});
  ASSERT_EQ(html.status, 0) << html.err;
  auto at = html.out.rfind("\nReport: file://");
  ASSERT_NE(at, std::string::npos) << html.out;
  std::filesystem::path page = html.out.substr(at + 16, html.out.size() - at - 17);
  auto data = nlohmann::json::parse(kit::read_file(page.replace_extension(".json")));
  auto doc = nlohmann::json::parse(run({"--value", "--offline", "--json"}).out);
  for (auto* sub : {&data["subscription"], &doc["subscription"]}) {  // the two runs' clocks differ
    (*sub)["agents"][0]["window"].erase("elapsedMinutes");
    (*sub)["agents"][0]["estimate"].erase("projectedUsePercent");
  }
  EXPECT_EQ(data["subscription"], doc["subscription"]);
  EXPECT_EQ(data["subscription"]["agents"][0]["plan"], "Pro");
  EXPECT_EQ(requests(), 0u);
}

TEST_F(ValueRun, QuotaOnly) {
  const std::map<std::string, std::string> quota{{"QUILLIMARE_QUOTA_ONLY", "1"}};
  auto json = run({"--json", "--no-cost"}, quota);
  ASSERT_EQ(json.status, 0) << json.err;
  auto reading = nlohmann::json::parse(json.out);
  EXPECT_EQ(reading["agent"], "cursor");
  EXPECT_GE(reading["observedAt"].get<std::int64_t>(), now_);
  EXPECT_EQ(reading["window"]["windowMinutes"], 525'600);
  EXPECT_EQ(reading["window"]["usedPercent"], 75.0);
  EXPECT_NE(json.out.find("\"usedPercent\": 75.0"), std::string::npos) << json.out;
  EXPECT_NEAR(reading["window"]["elapsedPercent"].get<double>(), 355.0 / 365 * 100, 0.01);
  EXPECT_EQ(reading["window"]["apiEquivalentSpent"], 0);
  EXPECT_FALSE(reading.contains("sessionWindow"));
  // Nothing was loaded: only the two account calls were made.
  EXPECT_TRUE(chatgpt_.requests().empty());
  ASSERT_EQ(cursor_.requests().size(), 2u);
  EXPECT_EQ(cursor_.requests()[0].path(), cursor::test::kPeriodPath);

  auto jq = run({"--jq", ".window.windowMinutes"}, quota);
  EXPECT_EQ(jq.out, "525600\n");

  // Without a reading: the placeholder.
  cursor_.on(cursor::test::kLimitsPath, ScriptedResponse{200, {}, R"({"activeGrants":[]})"});
  auto none = run({"--jq=-c", "--no-cost"}, quota);
  auto placeholder = nlohmann::json::parse(none.out);
  EXPECT_EQ(placeholder.size(), 2u);
  EXPECT_EQ(placeholder["agent"], "cursor");
  EXPECT_TRUE(placeholder["observedAt"].is_number_integer());

  // The text screen is not the quota-only mode.
  auto text = run({"--offline"}, quota);
  EXPECT_NE(text.out.find("Coding (Agent) CLI Usage Summary"), std::string::npos);
}

}  // namespace
}  // namespace qm::all::summary
