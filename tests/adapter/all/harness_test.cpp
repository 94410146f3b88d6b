// The harness view: its figures, its screens (golden files beside this test), its JSON
// document from a home with Codex signed in to a loopback service, and the built binary.
#include <gtest/gtest.h>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <functional>

#include "adapter/all/loader.h"
#include "adapter/all/subscription/harness.h"
#include "adapter/codex/rollout.h"
#include "date_utils.h"
#include "kit/env.h"
#include "kit/golden.h"
#include "kit/fake_clock.h"
#include "kit/http_server.h"
#include "kit/pricing.h"
#include "kit/run.h"
#include "output.h"

namespace qm::all::subscription {
namespace {

using kit::ScriptedResponse;
using codex::live_usage::CodexDailyBreakdownRow;

constexpr std::int64_t kDay = 86'400'000;
const std::int64_t kNow = *date_utils::parse_timestamp_ms("2026-01-08T12:00:00.000Z");
const ConsoleSettings kPlain{false, std::nullopt, true};
const cctz::time_zone kUtc = cctz::utc_time_zone();

ModelUsage usage(std::string model, double cost, std::uint64_t input, std::uint64_t output = 0,
                 std::uint64_t cache_creation = 0, std::uint64_t cache_read = 0) {
  return ModelUsage{std::move(model), input, output, cache_creation, cache_read, 0, cost};
}

// One agent's row of a day.
UsageRow day(std::string agent, std::string label, std::vector<ModelUsage> models) {
  UsageRow r;
  r.agent_id = agent;
  r.agents = {agent};
  r.label = std::move(label);
  for (auto& m : models) {
    r.models.push_back(m.model);
    r.input += m.input;
    r.output += m.output;
    r.cache_creation += m.cache_creation;
    r.cache_read += m.cache_read;
    r.cost += m.cost;
    r.model_usages.push_back(std::move(m));
  }
  r.total = r.input + r.output + r.cache_creation + r.cache_read;
  return r;
}

pricing::ModelPrice price(double input, double output, double cache_creation, double cache_read) {
  return kit::model_price({input, output, cache_creation, cache_read}, true);
}

std::string golden(const std::string& name, const std::string& actual) {
  return kit::golden("tests/adapter/all/golden/" + name, actual);
}

TEST(SpendMix, ClassesAtBasePricesScaledToTheEntry) {
  pricing::ModelPrice tiered = price(1e-6, 4e-6, 2e-6, 1e-7);
  tiered.input_above_200k = 2e-6;
  tiered.output_above_200k = 8e-6;
  pricing::ModelPrice fast = price(1e-6, 1e-6, 0, 0);
  fast.fast_multiplier = 3;
  pricing::ModelPrice implicit_read = price(1e-6, 1e-6, 0, 5e-7);
  implicit_read.explicit_cache_read = false;
  struct Case {
    const char* name;
    ModelUsage entry;
    std::optional<pricing::ModelPrice> price;
    bool codex, fast_tier;
    std::array<double, 4> want;
  };
  const Case cases[] = {
      // A day's sums beyond 200,000 tokens still go at the base price: 0.3 + 0.4 of 0.7.
      {"tier not applied to sums", usage("m", 0.7, 300'000, 100'000), tiered, false, false, {0.3, 0.4, 0, 0}},
      {"scaled to the recorded cost", usage("m", 1.4, 300'000, 100'000), tiered, false, false, {0.6, 0.8, 0, 0}},
      {"computed stands without a cost", usage("m", 0, 300'000, 100'000, 500'000, 1'000'000), tiered, false, false,
       {0.3, 0.4, 1.0, 0.1}},
      {"unpriced: the cost split by tokens", usage("m", 2, 100, 100, 0, 200), std::nullopt, false, false,
       {0.5, 0.5, 0, 1}},
      {"unpriced without a cost", usage("m", 0, 100, 100), std::nullopt, false, false, {0, 0, 0, 0}},
      {"priced at 0: the cost split by tokens", usage("m", 4, 100, 300), price(0, 0, 0, 0), false, false,
       {1, 3, 0, 0}},
      {"-fast uses the multiplier", usage("m-fast", 0, 1'000'000, 0), fast, false, false, {3, 0, 0, 0}},
      {"fast tier, Codex", usage("m", 0, 1'000'000, 0), fast, true, true, {3, 0, 0, 0}},
      {"fast tier without a multiplier doubles", usage("m", 0, 1'000'000), price(1e-6, 0, 0, 0), true, true,
       {2, 0, 0, 0}},
      {"fast tier is Codex's only", usage("m", 0, 1'000'000), fast, false, true, {1, 0, 0, 0}},
      {"Codex reads cache at the input price", usage("m", 0, 0, 0, 0, 1'000'000), implicit_read, true, false,
       {0, 0, 0, 1}},
      {"others keep the cache-read price", usage("m", 0, 0, 0, 0, 1'000'000), implicit_read, false, false,
       {0, 0, 0, 0.5}},
  };
  for (const auto& c : cases) {
    auto got = class_costs(c.entry, c.price, c.codex, c.fast_tier);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(got[i], c.want[i], 1e-12) << c.name << " class " << i;
  }
}

TEST(Bars, CellsOfDayAndLimitBars) {
  EXPECT_EQ(day_bar("limit used", 40, Style::Green, kPlain), "    limit used    40%  ██████████░░░░░░░░░░░░░░\n");
  EXPECT_EQ(day_bar("time elapsed", 50, Style::Blue, kPlain), "    time elapsed  50%  ████████████░░░░░░░░░░░░\n");
  EXPECT_EQ(day_bar("x", 250, Style::Blue, kPlain), "    x            250%  ████████████████████████\n");
  EXPECT_EQ(day_bar("x", -5, Style::Blue, kPlain), "    x             -5%  ░░░░░░░░░░░░░░░░░░░░░░░░\n");
  EXPECT_EQ(limit_bar(0.01, 100, Style::Green, kPlain), "█░░░░░░░░░░░░░░░");  // a trace still shows
  EXPECT_EQ(limit_bar(0, 100, Style::Green, kPlain), "░░░░░░░░░░░░░░░░");
  EXPECT_EQ(limit_bar(5, 0, Style::Green, kPlain), "░░░░░░░░░░░░░░░░");
  kit::EnvGuard env;
  env.unset("NO_COLOR");
  const ConsoleSettings colour{true, std::nullopt, false};
  EXPECT_EQ(limit_bar(1, 2, Style::Green, colour), "\x1b[32m████████\x1b[0m\x1b[90m░░░░░░░░\x1b[0m");
}

// A Codex month: 7 models, images, a window 40% used after 3.5 of 7 days, and 16 days of the
// service's own limit usage.
HarnessReport codex_month() {
  auto rows = loader::merge_rows_by_label({
      day("codex", "2025-11-20", {usage("gpt-5-codex", 5, 1'000'000)}),
      day("codex", "2025-12-20", {usage("gpt-5", 12, 2'000'000, 300'000), usage("o3", 8, 400'000, 100'000)}),
      day("codex", "2026-01-03", {usage("gpt-5-codex", 15, 3'000'000, 200'000, 0, 9'000'000),
                                  usage("gpt-4.1", 2, 500'000)}),
      day("claude", "2026-01-05", {usage("claude-sonnet-4-5", 30, 1'000'000)}),
      day("codex", "2026-01-05", {usage("gpt-5-codex", 9, 2'000'000, 100'000), usage("o4-mini", 1, 900'000)}),
      day("codex", "2026-01-06", {usage("gpt-5-codex", 11.7, 2'500'000), usage("gpt-5-mini", 0.3, 80'000)}),
      day("codex", "2026-01-07", {usage("gpt-5-codex", 10, 2'000'000, 0, 0, 4'000'000)}),
      day("codex", "2026-01-08", {usage("gpt-5-codex", 7.9, 1'500'000), usage("gpt-5-nano", 0.1, 999)}),
  });
  codex::plan::CodexRateLimits limits;
  limits.primary = codex::plan::RateLimitWindow{7, 300, (kNow + 3'600'000) / 1000};
  limits.secondary = codex::plan::RateLimitWindow{40, 10'080, (kNow + 7 * kDay / 2) / 1000};
  limits.plan_type = "plus";
  limits.reset_credits_available = 2;
  HarnessReadings readings;
  readings.state = quota::codex_state_from_limits(limits, rows, kNow, kUtc);
  readings.plan = resolve_codex_plan(readings.state->plan_type, std::nullopt);
  for (int i = 0; i < 16; ++i) {
    CodexDailyBreakdownRow row{date_utils::utc_date_from_ms(kNow - (15 - i) * kDay), {}, {}, 0.5 * i};
    if (i == 15) row.surfaces = {{"cli", 5}, {"vscode", 2.5}};
    readings.limit_usage.push_back(row);
  }
  readings.image_generations = 20;
  pricing::PricingTable prices;
  prices.prices["gpt-5-codex"] = price(1.25e-6, 1e-5, 0, 1.25e-7);
  prices.prices["gpt-5"] = price(1.25e-6, 1e-5, 0, 1.25e-7);
  return build_harness_report("codex", rows, std::move(readings), prices, kNow, kUtc);
}

TEST(HarnessScreen, CodexUnderPaceWithSubsidyAndImages) {
  auto report = codex_month();
  EXPECT_DOUBLE_EQ(report.spend_30d, 77);  // nothing of November, nothing of Claude's
  ASSERT_TRUE(report.weekly);
  EXPECT_EQ(report.weekly->elapsed_minutes, 5'040);
  EXPECT_DOUBLE_EQ(report.weekly->spend, 40);
  auto screen = render_harness_screen(report, false, kPlain);
  EXPECT_EQ(screen, golden("harness-codex.txt", screen));

  kit::EnvGuard env;
  env.unset("NO_COLOR");
  auto colour = render_harness_screen(report, false, {true, std::nullopt, false});
  EXPECT_NE(colour.find(std::string(21, ' ') + "\x1b[32m→ 10pt under pace — qilming slower than the clock\x1b[0m\n\n"),
            std::string::npos)
      << colour;
  EXPECT_NE(colour.find("    subsidy        \x1b[33m+$60.00 /mo  ·  75% off  ·  4.0× value\x1b[0m\n"), std::string::npos);
}

// Claude: ten weeks of use, a month of $15 against a $20 plan, used as fast as the clock.
TEST(HarnessScreen, ClaudeOverPriceOnPace) {
  std::vector<UsageRow> parts;
  for (int week = 9; week >= 0; --week)
    parts.push_back(day("claude", date_utils::utc_date_from_ms(kNow - week * 7 * kDay),
                        {usage("claude-sonnet-4-5", week < 5 ? 3 : 1, 100'000, 20'000, 40'000, 400'000)}));
  auto rows = loader::merge_rows_by_label(std::move(parts));
  HarnessReadings readings;
  readings.plan = resolve_claude_plan("default_claude_pro", std::nullopt);
  readings.state = quota::LimitState{};
  readings.state->weekly = quota::window_progress(10'080, kNow - 2 * kDay, rows, "claude", 28.9, kNow, kUtc);
  auto report = build_harness_report("claude", rows, std::move(readings), pricing::PricingTable{}, kNow, kUtc);
  EXPECT_DOUBLE_EQ(report.spend_30d, 15);
  ASSERT_EQ(report.weekly_trend.size(), 8u);
  auto screen = render_harness_screen(report, false, kPlain);
  EXPECT_EQ(screen, golden("harness-claude.txt", screen));
}

// Hours into a window, on a plan without a price, tokens only.
TEST(HarnessScreen, ShortWindowWithoutCosts) {
  auto rows = loader::merge_rows_by_label({
      day("codex", "2026-01-08", {usage("gpt-5-codex", 2, 400'000, 20'000, 0, 1'200'000), usage("local", 0, 3'000)}),
  });
  codex::plan::CodexRateLimits limits;
  limits.secondary = codex::plan::RateLimitWindow{3, 10'080, (kNow + 10'080 * 60'000 - 288 * 60'000) / 1000};
  limits.plan_type = "team";
  HarnessReadings readings;
  readings.state = quota::codex_state_from_limits(limits, rows, kNow, kUtc);
  readings.plan = resolve_codex_plan(readings.state->plan_type, std::nullopt);
  auto report = build_harness_report("codex", rows, std::move(readings), pricing::PricingTable{}, kNow, kUtc);
  auto screen = render_harness_screen(report, true, kPlain);
  EXPECT_EQ(screen, golden("harness-short.txt", screen));
  EXPECT_EQ(screen.find("on pace for"), std::string::npos);
}

TEST(HarnessScreen, ATraceOfUseGivesNoEstimate) {
  auto report = codex_month();
  ASSERT_TRUE(report.weekly);
  report.weekly->used_percent = 1e-320;
  const auto screen = render_harness_screen(report, false, kPlain);
  EXPECT_NE(screen.find("      on pace for $80.00 this week\n"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("inf"), std::string::npos) << screen;
  const auto doc = harness_json(report);
  EXPECT_TRUE(doc["estimate"].is_null()) << doc["estimate"];
  EXPECT_TRUE(doc["window"].is_object());
}

TEST(HarnessScreen, WithoutAWindow) {
  HarnessReport report;
  report.agent = "codex";
  report.spend_mix = {{"input", "input", 0, 0}};
  EXPECT_EQ(render_harness_screen(report, false, kPlain),
            "  plan not detected\n"
            "\n  economics · monthly\n"
            "    api-equivalent $0.00   token usage at pay-as-you-go prices · last 30d\n"
            "      pass --codex-plan <PRICE> to compare with what you pay\n"
            "\n  this week\n"
            "      no live limits available (offline, or no signed-in token)\n");
  report.live_limits = true;
  EXPECT_NE(render_harness_screen(report, false, kPlain).find("      no weekly limit window available yet\n"),
            std::string::npos);
}

TEST(HarnessJson, NoCostLeavesTokenFiguresOnly) {
  auto doc = harness_json(codex_month());
  output::strip_costs(doc);
  std::function<void(const nlohmann::json&)> check = [&](const nlohmann::json& v) {
    if (v.is_object()) {
      EXPECT_FALSE(v.contains("cost") || v.contains("costUSD")) << v.dump();
      for (const auto& [k, m] : v.items()) check(m);
    } else if (v.is_array()) {
      for (const auto& m : v) check(m);
    }
  };
  check(doc);
  EXPECT_EQ(doc["spendMix"][0]["tokens"], 14'880'999);
  EXPECT_EQ(doc["topModels"].size(), 6u);
  EXPECT_EQ(doc["economics"]["subsidyPerMonth"], 57);  // the images are not in it
  EXPECT_EQ(doc["imageGenerations"]["estimatedCost"], 3);
}

// A home with Codex signed in, its service on a loopback server, and the clock fixed.
class HarnessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::unset_proxy_variables(env_);
    env_.set("HOME", home_.path().string()).unset("CODEX_HOME").set("QUILLIMARE_CHATGPT_URL", chatgpt_.url());
    for (const char* name : {"QUILLIMARE_LITELLM_URL", "QUILLIMARE_MODELS_DEV_URL"}) env_.set(name, closed_.url());
    kit::write_file(home_ / ".codex/auth.json", R"({"tokens":{"access_token":"codex-tok"}})");
    options_.timezone = "UTC";
  }
  std::string rollout(std::int64_t at, std::uint64_t input) {
    return codex::testing::token_count(codex::testing::quoted(date_utils::format_timestamp_ms(at)),
                                       codex::testing::Usage{input, input / 2, input / 10, 0, input + input / 10});
  }
  static std::string image_call(const std::string& id) {
    return R"({"timestamp":"2026-01-07T10:00:00.000Z","type":"response_item","payload":{"type":"image_generation_call","id":")" +
           id + R"(","status":"completed"}})" + "\n";
  }

  kit::TempDir home_;
  kit::EnvGuard env_;
  kit::HttpServer chatgpt_;
  kit::RefusingPort closed_;
  kit::FakeClock clock_{kNow, 0, {}};
  CommonOptions options_;
};

TEST_F(HarnessRun, DocumentWithTheServicesBreakdown) {
  const std::string sessions = ".codex/sessions/2026/01/";
  kit::write_file(home_ / (sessions + "06/rollout-2026-01-06T09-00-00-a.jsonl"),
                  codex::testing::turn_context("gpt-5") + rollout(kNow - 2 * kDay, 1'000'000) + image_call("ig_a") +
                      image_call("ig_b"));
  kit::write_file(home_ / (sessions + "08/rollout-2026-01-08T08-00-00-b.jsonl"),
                  codex::testing::turn_context("gpt-5-codex") + rollout(kNow - 3'600'000, 400'000) +
                      image_call("ig_b") + image_call("ig_c"));
  // Named before the 30 days: not read. Named otherwise: read.
  kit::write_file(home_ / ".codex/sessions/2025/11/30/rollout-2025-11-30T08-00-00-c.jsonl", image_call("ig_old"));
  kit::write_file(home_ / ".codex/archived_sessions/saved.jsonl", image_call("ig_d") + image_call("ig_a"));

  chatgpt_.on("/backend-api/wham/usage",
              ScriptedResponse{200, {}, fmt::format(R"({{"plan_type":"plus","rate_limit":{{
                  "primary_window":{{"used_percent":7,"limit_window_seconds":18000,"reset_at":{}}},
                  "secondary_window":{{"used_percent":40,"limit_window_seconds":604800,"reset_at":{}}}}},
                  "rate_limit_reset_credits":{{"available_count":2}}}})",
                                                    (kNow + 3'600'000) / 1000, (kNow + 7 * kDay / 2) / 1000)});
  chatgpt_.on("/backend-api/wham/usage/daily-token-usage-breakdown",
              ScriptedResponse{200, {}, R"({"units":"percent","data":[
                  {"date":"2026-01-08","product_surface_usage_values":{"cli":6,"vscode":1.5},
                   "models":[{"model":"gpt-5-codex","speed":"fast","credits":7.5}]},
                  {"date":"2026-01-07","models":[{"model":"gpt-5","credits":3},{"model":"gpt-5-codex","credits":9}]}]})"});

  auto report = gather_harness("codex", options_, "$25", "pro", clock_.clock());
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->image_generations, 4u);  // a, b, c, d
  auto doc = output::pretty(harness_json(*report)) + "\n";
  EXPECT_EQ(doc, golden("harness-codex.json", doc));
}

TEST_F(HarnessRun, LoadErrorAfterTheBreakdownRequest) {
  kit::write_file(home_ / ".codex/sessions/rollout-2026-01-08T08-00-00-a.jsonl",
                  codex::testing::turn_context("gpt-5") + codex::testing::token_count("\"yesterday\"", codex::testing::Usage{1, 0, 1, 0, 2}));
  chatgpt_.on("/backend-api/wham/usage/daily-token-usage-breakdown",
              ScriptedResponse{200, {}, R"({"data":[]})", std::chrono::milliseconds(100)});
  auto report = gather_harness("codex", options_, std::nullopt, std::nullopt, clock_.clock());
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "Invalid Codex timestamp: yesterday");
  auto requests = chatgpt_.requests();
  ASSERT_EQ(requests.size(), 1u);  // the breakdown, waited for; no live limits
  EXPECT_EQ(requests[0].path(), "/backend-api/wham/usage/daily-token-usage-breakdown");
}

// The built binary with a temporary home, as a user runs it.
class HarnessBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    now_ = date_utils::now_ms();
    std::string rollout = codex::testing::turn_context("gpt-5");
    for (int i = 2; i >= 0; --i)
      rollout += codex::testing::token_count(codex::testing::quoted(date_utils::format_timestamp_ms(now_ - i * kDay)),
                                             codex::testing::Usage{400'000, 100'000, 20'000, 0, 420'000});
    rollout += R"({"type":"response_item","payload":{"type":"image_generation_call","id":"ig_1"}})" "\n";
    kit::write_file(home_ / ".codex/sessions/rollout-a.jsonl", rollout);
    kit::write_file(home_ / ".codex/auth.json", R"({"tokens":{"access_token":"codex-tok"}})");
    chatgpt_.on("/backend-api/wham/usage",
                ScriptedResponse{200, {}, fmt::format(R"({{"plan_type":"plus","rate_limit":{{
                    "secondary_window":{{"used_percent":20,"limit_window_seconds":604800,"reset_at":{}}}}}}})",
                                                      now_ / 1000 + 5 * 86'400)});
    chatgpt_.on("/backend-api/wham/usage/daily-token-usage-breakdown",
                ScriptedResponse{200, {}, R"({"units":"percent","data":[{"date":"2026-01-07","product_surface_usage_values":{"cli":4}},
                                             {"date":"2026-01-08","product_surface_usage_values":{"cli":6}}]})"});
  }
  kit::RunResult run(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) {
    std::vector<std::string> argv{QM_BINARY, "harness"};
    argv.insert(argv.end(), args.begin(), args.end());
    kit::RunOptions o;
    o.env = kit::base_env(home_.path().string());
    o.env["QUILLIMARE_CHATGPT_URL"] = chatgpt_.url();
    for (auto& [k, v] : extra) o.env[k] = v;
    return kit::run(argv, o);
  }
  std::size_t requests(std::string_view path) const {
    std::size_t n = 0;
    for (const auto& r : chatgpt_.requests()) n += r.path() == path;
    return n;
  }

  kit::TempDir home_;
  kit::HttpServer chatgpt_;
  std::int64_t now_ = 0;
};

TEST_F(HarnessBinary, ScreenAndDocument) {
  auto text = run({"codex", "--value"});
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* part : {"Codex Harness", "\n  Plus ($20/mo)\n",
                           "\n    you pay        $20.00\n", "    + images       $0.15   1 gpt-image gens",
                           "\n  this week\n    limit used    20%  █████░", "\n  day by day\n",
                           "\n  weekly limit used · by day · 2d\n    2026-01-07     4%   ███████████░░░░░  cli 4%\n"})
    EXPECT_NE(text.out.find(part), std::string::npos) << part << "\n" << text.out;
  EXPECT_EQ(requests("/backend-api/wham/usage/daily-token-usage-breakdown"), 1u);

  auto json = run({"codex", "--json", "--no-cost", "--codex-plan", "pro"});
  ASSERT_EQ(json.status, 0) << json.err;
  auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["plan"], "Pro");
  EXPECT_EQ(doc["pricePerMonth"], 200);
  EXPECT_EQ(doc["imageGenerations"]["count"], 1);
  EXPECT_EQ(doc["limitUsageDaily"].size(), 2u);
  EXPECT_EQ(doc["daily"].size(), 3u);
  EXPECT_FALSE(doc["daily"][0].contains("cost"));
  EXPECT_TRUE(doc["spendMix"][0].contains("tokens") && !doc["spendMix"][0].contains("costUSD"));
}

TEST_F(HarnessBinary, AScreenNotWrittenFailsTheRun) {
  kit::RunOptions o;
  o.env = kit::base_env(home_.path().string());
  o.env["QUILLIMARE_CHATGPT_URL"] = chatgpt_.url();
  auto r = kit::run({"/bin/sh", "-c", std::string("exec \"") + QM_BINARY + "\" harness codex >/dev/full"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: CliError(\"No space left on device\")\n");
}

TEST_F(HarnessBinary, WithoutLimitsAndForClaude) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {{"codex", "--offline", "--codex-plan", "30"},
       {"\n  plan not detected\n", "no live limits available (offline, or no signed-in token)",
        "pass --codex-plan <PRICE> to compare with what you pay"}},
      {{"claude", "--offline", "--codex-plan", "30"}, {"Claude Harness", "\n  plan not detected\n"}},
      {{"claude", "--offline", "--claude-plan", "max-5x"}, {"\n  Max 5× ($100/mo)\n", "    you pay        $100.00\n"}},
  };
  for (const auto& c : cases) {
    auto r = run(c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& w : c.want) EXPECT_NE(r.out.find(w), std::string::npos) << w << "\n" << r.out;
  }
  EXPECT_TRUE(chatgpt_.requests().empty());
}

TEST_F(HarnessBinary, QuotaOnly) {
  auto reading = run({"codex", "--json"}, {{"QUILLIMARE_QUOTA_ONLY", "1"}});
  ASSERT_EQ(reading.status, 0) << reading.err;
  auto doc = nlohmann::json::parse(reading.out);
  EXPECT_EQ(doc["agent"], "codex");
  EXPECT_EQ(doc["window"]["windowMinutes"], 10'080);
  EXPECT_EQ(requests("/backend-api/wham/usage/daily-token-usage-breakdown"), 0u);

  auto none = run({"codex", "--jq", ".", "--offline"}, {{"QUILLIMARE_QUOTA_ONLY", "1"}});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "Error: CliError(\"Live quota unavailable; previous readings should be retained\")\n");

  // Without --json or --jq the variable changes nothing.
  auto screen = run({"codex", "--offline"}, {{"QUILLIMARE_QUOTA_ONLY", "1"}});
  EXPECT_EQ(screen.status, 0);
  EXPECT_NE(screen.out.find("Codex Harness"), std::string::npos);
}

}  // namespace
}  // namespace qm::all::subscription
