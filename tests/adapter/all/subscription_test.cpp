// Subscription plans, the value arithmetic, the spend since a window began and the short texts.
#include "adapter/all/subscription.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

#include "adapter/all/rows.h"
#include "date_utils.h"
#include "kit/env.h"

namespace qm::all::subscription {
namespace {

using testing::part;
using Opt = std::optional<std::string>;

constexpr std::nullopt_t kNone = std::nullopt;

SubscriptionPlan plan(std::optional<std::string> label, std::optional<double> price) { return {label, price}; }

TEST(Plans, Claude) {
  const struct {
    Opt tier, option;
    SubscriptionPlan want;
  } cases[] = {
      {kNone, "Max 20x", plan("Max 20×", 200)},
      {kNone, "max-20x", plan("Max 20×", 200)},
      {kNone, "MAX5", plan("Max 5×", 100)},
      {kNone, "max", plan("Max 5×", 100)},
      {kNone, "Pro", plan("Pro", 20)},
      {"default_claude_max_5x", "5x", plan("Max 5×", 100)},  // not a plan word: the tier
      {kNone, "150", plan(kNone, 150)},
      {kNone, " $25 ", plan(kNone, 25)},
      {kNone, "$$2.5e1", plan(kNone, 25)},
      {"claude_pro", "$0", plan("Pro", 20)},
      {kNone, "$$$", plan(kNone, kNone)},
      {kNone, "$ 25", plan(kNone, kNone)},  // the space spoils the number; "25" is no plan word
      {kNone, "-20", plan(kNone, kNone)},
      {kNone, "nan", plan(kNone, kNone)},
      {kNone, "inf", plan(kNone, kNone)},  // only a finite price is a price
      {"claude_pro", "Infinity", plan("Pro", 20)},
      {kNone, "1e400", plan(kNone, kNone)},
      {kNone, "0x10", plan(kNone, kNone)},
      {"default_claude_max_20x", kNone, plan("Max 20×", 200)},
      {"DEFAULT_CLAUDE_MAX_5X", kNone, plan("Max 5×", 100)},
      {"max_plan", kNone, plan("Max", 100)},
      {"claude_pro", kNone, plan("Pro", 20)},
      {"enterprise", kNone, plan(kNone, kNone)},
      {kNone, kNone, plan(kNone, kNone)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(resolve_claude_plan(c.tier, c.option), c.want) << c.tier.value_or("-") << " / " << c.option.value_or("-");
}

TEST(Plans, CodexAndCursor) {
  const struct {
    std::string detected;
    Opt option;
    SubscriptionPlan want;
  } codex[] = {
      {"plus", kNone, plan("Plus", 20)},
      {"pro", kNone, plan("Pro", 200)},
      {"team", kNone, plan("Team", kNone)},
      {"unknown", kNone, plan("Unknown", kNone)},
      {"plus", "30", plan("Plus", 30)},
      {"team", "$30", plan("Team", 30)},
      {"team", "P-R-O", plan("Pro", 200)},
      {"plus", "inf", plan("Plus", 20)},
      {"plus", "enterprise", plan("Plus", 20)},
      {"édu", kNone, plan("édu", kNone)},
      // No plan type at all is no empty label.
      {"", kNone, plan("Unknown", kNone)},
      {"", "45", plan("Unknown", 45)},
  };
  for (const auto& c : codex)
    EXPECT_EQ(resolve_codex_plan(c.detected, c.option), c.want) << c.detected << " / " << c.option.value_or("-");

  const struct {
    Opt text;
    std::optional<SubscriptionPlan> want;
  } cursor[] = {
      {kNone, std::nullopt},
      {"pro_plus", plan("Pro+", 60)},
      {"Pro+", plan("Pro+", 60)},
      {"ULTRA", plan("Ultra", 200)},
      {"pro", plan("Pro", 20)},
      {"free", std::nullopt},
      {"$60", plan(kNone, 60)},
      {"inf", std::nullopt},
  };
  for (const auto& c : cursor) EXPECT_EQ(summary::parse_cursor_plan(c.text), c.want) << c.text.value_or("-");
}

TEST(Value, ProjectionOfAWindow) {
  const struct {
    quota::WindowProgress progress;
    std::optional<SubscriptionValue> want;
  } cases[] = {
      // 20% after 2 of 7 days with $30 spent.
      {{10080, 20, 2880, 30}, SubscriptionValue{150, 30.4375 / 7 * 150, 70}},
      {{10080, 0.5, 10, 1}, SubscriptionValue{200, 30.4375 / 7 * 200, 504}},
      {{10080, 2, 10, 1}, SubscriptionValue{50, 30.4375 / 7 * 50, 999}},
      {{300, 50, 150, 2}, SubscriptionValue{4, 30.4375 / (300.0 / 1440) * 4, 100}},
      {{10080, 0, 2880, 30}, std::nullopt},
      {{10080, NAN, 2880, 30}, std::nullopt},
      {{10080, 20, 0, 30}, std::nullopt},
      {{0, 20, 10, 30}, std::nullopt},
      // A trace of use, or a spend, that scales beyond any number gives no value.
      {{10080, 1e-320, 2880, 30}, std::nullopt},
      {{10080, 100, 2880, 1e308}, std::nullopt},
      {{10080, 1e-320, 2880, 0}, SubscriptionValue{0, 0, 1e-320 * 10080 / 2880}},
  };
  for (const auto& c : cases) {
    auto got = project_window_value(c.progress);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.progress.used_percent;
    if (!got) continue;
    EXPECT_DOUBLE_EQ(got->full_quota_value, c.want->full_quota_value);
    EXPECT_DOUBLE_EQ(got->monthly_value, c.want->monthly_value);
    EXPECT_DOUBLE_EQ(got->projected_use_percent, c.want->projected_use_percent);
  }
  EXPECT_EQ(project_window_value(std::nullopt), std::nullopt);
  EXPECT_NEAR(project_window_value(quota::WindowProgress{10080, 20, 2880, 30})->monthly_value, 652.23, 0.01);
}

TEST(Value, SpendSinceTheStartCutsTheFirstDayOfTheReportZone) {
  auto rows = loader::merge_rows_by_label({
      part("codex", "2026-01-04", 100, 1, {{"gpt-5", 100}}),
      part("codex", "2026-01-05", 8, 1, {{"gpt-5", 8}}),
      part("claude", "2026-01-05", 50, 1, {{"claude-sonnet-4-5", 50}}),
      part("codex", "2026-01-06", 2, 1, {{"gpt-5", 2}}),
      part("codex", "2026-03-08", 23, 1, {{"gpt-5", 23}}),
  });
  auto utc = *date_utils::find_time_zone("UTC");
  auto new_york = *date_utils::find_time_zone("America/New_York");
  auto at = [](const char* text) { return *date_utils::parse_timestamp_ms(text); };
  const struct {
    const char* start;
    const cctz::time_zone& zone;
    double want;
  } cases[] = {
      // 18:00 UTC: a quarter of the day, then every later day whole.
      {"2026-01-05T18:00:00Z", utc, 8 * 0.25 + 2 + 23},
      // The start counts in whole seconds (Claude's reset times carry fractions).
      {"2026-01-05T18:00:00.900Z", utc, 8 * 0.25 + 2 + 23},
      // 18:00 in New York is 23:00 UTC: still a quarter of New York's 5 January.
      {"2026-01-05T23:00:00Z", new_york, 8 * 0.25 + 2 + 23},
      // 21:00 in New York on the 5th is the 6th in UTC; the rows are New York's days.
      {"2026-01-06T02:00:00Z", new_york, 8 * 0.125 + 2 + 23},
      // Noon on the day the clocks go forward: 12 of its 23 hours remain.
      {"2026-03-08T16:00:00Z", new_york, 23.0 * 12 / 23},
      {"2026-03-09T00:00:00Z", utc, 0},
      {"2026-01-01T00:00:00Z", utc, 133},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(cost_since(rows, at(c.start), "codex", c.zone), c.want) << c.start;
  EXPECT_DOUBLE_EQ(cost_since(rows, at("2026-01-05T00:00:00Z"), "claude", utc), 50);
  EXPECT_DOUBLE_EQ(cost_since(rows, at("2026-01-05T00:00:00Z"), "cursor", utc), 0);
}

TEST(Value, TheSubscriptionObject) {
  ValueReport report;
  report.period = summary::SummaryPeriod{"2026-01-05", "2026-01-06"};
  quota::LimitState codex{quota::WindowProgress{10080, 20, 2880, 30}, quota::ShortWindow{300, 7.5}, "plus", 2};
  quota::LimitState claude{quota::WindowProgress{10080, 0, 60, 0}, std::nullopt, "", std::nullopt};
  report.rows = {
      {"codex", 12, plan("Plus", 200), codex, true},
      {"claude", 3.5, plan("Max", kNone), claude, true},
      {"cursor", 1.25, plan(kNone, kNone), std::nullopt, false},
  };
  auto j = subscription_value_json(report);
  EXPECT_EQ(j["period"], nlohmann::json::parse(R"({"from":"2026-01-05","to":"2026-01-06"})"));
  ASSERT_EQ(j["agents"].size(), 3u);
  auto estimate = j["agents"][0]["estimate"];
  EXPECT_NEAR(estimate["valueMultiple"].get<double>(), 3.26, 0.005);
  estimate.erase("valueMultiple");
  estimate.erase("monthlyValue");
  EXPECT_EQ(estimate, nlohmann::json::parse(R"({"fullQuotaValue":150,"projectedUsePercent":70})"));
  auto codex_json = j["agents"][0];
  codex_json.erase("estimate");
  EXPECT_EQ(codex_json, nlohmann::json::parse(R"({"agent":"codex","plan":"Plus","pricePerMonth":200,"periodUsage":12,
      "liveLimits":true,"window":{"label":"weekly","usedPercent":20,"elapsedMinutes":2880,"apiEquivalentSpent":30},
      "shortWindow":{"label":"5h","usedPercent":7.5},"resetCreditsAvailable":2})"));
  // Nothing used yet: the window without an estimate.
  EXPECT_EQ(j["agents"][1], nlohmann::json::parse(R"({"agent":"claude","plan":"Max","pricePerMonth":null,
      "periodUsage":3.5,"liveLimits":true,"window":{"label":"weekly","usedPercent":0,"elapsedMinutes":60,
      "apiEquivalentSpent":0},"estimate":null,"shortWindow":null,"resetCreditsAvailable":null})"));
  EXPECT_EQ(j["agents"][2], nlohmann::json::parse(R"({"agent":"cursor","plan":null,"pricePerMonth":null,
      "periodUsage":1.25,"liveLimits":false,"window":null,"estimate":null,"shortWindow":null,"resetCreditsAvailable":null})"));
  // A trace of use is no more an estimate than none: the window without one.
  report.rows[1].limits->weekly = quota::WindowProgress{10080, 1e-320, 60, 3};
  EXPECT_TRUE(subscription_value_json(report)["agents"][1]["estimate"].is_null());
  EXPECT_EQ(subscription_value_json(report)["agents"][1]["window"]["label"], "weekly");
  // A price-less estimate has no multiple.
  report.rows[0].plan.monthly_price.reset();
  EXPECT_TRUE(subscription_value_json(report)["agents"][0]["estimate"]["valueMultiple"].is_null());

  EXPECT_EQ(subscription_value_json({}), nlohmann::json::parse(R"({"agents":[],"period":null})"));
}

TEST(Texts, LabelsAndShortNumbers) {
  for (auto [minutes, want] : std::initializer_list<std::pair<std::uint64_t, const char*>>{
           {300, "5h"}, {4320, "3d"}, {90, "90m"}, {1440, "daily"}, {10080, "weekly"}, {20160, "14d"}, {60, "1h"}})
    EXPECT_EQ(window_label(minutes), want) << minutes;
  for (auto [x, want] : std::initializer_list<std::pair<double, const char*>>{
           {0.3, "<1%"}, {0, "0%"}, {42.4, "42%"}, {99.6, "100%"}, {0.49, "<1%"}})
    EXPECT_EQ(percent_label(x), want) << x;
  const struct {
    SubscriptionPlan plan;
    const char* want;
  } plans[] = {
      {plan("Pro", 20), "Pro ($20/mo)"},
      {plan("Team", kNone), "Team (price unknown)"},
      {plan(kNone, 149.6), "($150/mo)"},
      {plan(kNone, kNone), "plan not detected"},
  };
  for (const auto& c : plans) EXPECT_EQ(plan_price_label(c.plan), c.want);
  for (auto [x, want] : std::initializer_list<std::pair<double, const char*>>{
           {1234.5, "$1.2k"}, {999.999, "$1000.00"}, {2'500'000, "$2.5M"}, {0, "$0.00"}, {1000, "$1.0k"}})
    EXPECT_EQ(format_money_short(x), want) << x;
  for (auto [n, want] : std::initializer_list<std::pair<std::uint64_t, const char*>>{
           {1000, "1.0K"}, {999, "999"}, {1'000'000, "1.0M"}, {2'500'000'000, "2.5B"}, {1'000'000'000'000, "1.0T"}})
    EXPECT_EQ(format_compact_count(n), want) << n;
  const ConsoleSettings plain{false, std::nullopt, true}, colour{true, std::nullopt, false};
  kit::EnvGuard env;
  env.unset("NO_COLOR");
  EXPECT_EQ(format_row("a · b", plain), "      a · b\n");
  EXPECT_EQ(format_row("x", colour), "      \x1b[90mx\x1b[0m\n");
}

TEST(TopModels, CostThenTokensThenName) {
  auto rows = loader::merge_rows_by_label({
      part("cursor", "2026-01-05", 0, 10, {{"zeta-free", 0}}),
      part("codex", "2026-01-05", 0, 10, {{"beta-free", 0}}),
      part("claude", "2026-01-06", 1, 30, {{"alpha-free", 0}, {"paid", 1}, {"gamma-free", 0}}),
      part("cursor", "2026-01-06", 0, 10, {{"zeta-free", 0}}),
  });
  std::vector<std::string> names;
  for (const auto& m : top_models(rows)) names.push_back(m.model);
  // zeta-free has 20 tokens over two days; the other free models 10 each, by name.
  EXPECT_EQ(names, (std::vector<std::string>{"paid", "zeta-free", "alpha-free", "beta-free", "gamma-free"}));
  EXPECT_EQ(top_models(rows)[1].tokens, 20u);
}

}  // namespace
}  // namespace qm::all::subscription
