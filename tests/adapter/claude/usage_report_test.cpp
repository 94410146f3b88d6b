// The Claude usage report in its two layouts and two forms of extra usage, and the account
// object built from it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "adapter/claude/limits.h"
#include "json/strict.h"

namespace qm::claude::limits {
namespace {

constexpr std::int64_t kNov24At10 = 1763978400000;  // 2025-11-24T10:00:00Z

ClaudeUsageLimits parse(const std::string& text) {
  auto limits = parse_usage_response(text);
  EXPECT_TRUE(limits) << text;
  return limits.value_or(ClaudeUsageLimits{});
}

TEST(ClaudeUsageReport, NamedWindowsAndTheLimitList) {
  struct Case {
    std::string report;
    std::optional<UsageWindow> session;
    std::optional<UsageWindow> weekly;
  };
  const Case cases[] = {
      {R"({"five_hour":{"utilization":130,"resets_at":"2025-11-24T10:00:00Z"}})", UsageWindow{100, kNov24At10}, {}},
      {R"({"five_hour":{"utilization":-3},"seven_day":{"utilization":55.5,"resets_at":null}})", UsageWindow{0, {}},
       UsageWindow{55.5, {}}},
      {R"({"five_hour":{"utilization":"50"},"seven_day":null})", {}, {}},
      // The fraction of the reset time is cut to milliseconds, or padded.
      {R"({"limits":[{"kind":"session","percent":40,"resets_at":"2025-11-24T10:00:00.123456+00:00"}]})",
       UsageWindow{40, kNov24At10 + 123}, {}},
      {R"({"limits":[{"kind":"weekly_all","utilization":7,"resets_at":"2025-11-24T10:00:00.5Z"}]})", {},
       UsageWindow{7, kNov24At10 + 500}},
      {R"({"limits":[{"kind":"session","percent":1,"resets_at":"yesterday"}]})", UsageWindow{1, {}}, {}},
      // Named windows and earlier list elements win; elements without a percent are skipped.
      {R"({"five_hour":{"utilization":10},"limits":[{"kind":"session","percent":90},
           {"kind":"weekly_all"},{"kind":"weekly_all","percent":"x","utilization":20},
           {"kind":"weekly_all","percent":30},{"percent":40}]})",
       UsageWindow{10, {}}, UsageWindow{20, {}}},
  };
  for (const auto& c : cases) {
    auto limits = parse(c.report);
    EXPECT_EQ(limits.session, c.session) << c.report;
    EXPECT_EQ(limits.weekly, c.weekly) << c.report;
  }
}

TEST(ClaudeUsageReport, ScopedLimitsByModelName) {
  auto limits = parse(R"({"limits":[
    {"kind":"weekly_scoped","percent":12,"scope":{"model":{"display_name":"Opus","id":"claude-opus"}}},
    {"kind":"weekly_scoped","percent":150,"scope":"sonnet","resets_at":"2025-11-24T10:00:00Z"},
    {"kind":"weekly_scoped","percent":3,"scope":{"model":{"id":"claude-haiku"}}},
    {"kind":"weekly_scoped","percent":4,"scope":{"plan":"max"}},
    {"kind":"weekly_scoped","percent":5,"scope":""},
    {"kind":"weekly_scoped","percent":6,"scope":{"model":{"display_name":""}}},
    {"kind":"monthly","percent":7,"scope":"x"}]})");
  const std::vector<ScopedLimit> expected{
      {"Opus", 12, {}}, {"sonnet", 100, kNov24At10}, {"claude-haiku", 3, {}}};
  EXPECT_EQ(limits.scoped, expected);
}

TEST(ClaudeUsageReport, ExtraUsageInCreditsOrMoney) {
  struct Case {
    std::string report;
    std::optional<ClaudeExtraUsage> extra;
  };
  const Case cases[] = {
      {R"({"extra_usage":{"is_enabled":false,"used_credits":1234,"monthly_limit":0}})",
       ClaudeExtraUsage{false, 12.34, {}, {}}},
      {R"({"extra_usage":{"is_enabled":true,"monthly_limit":5000,"utilization":250}})",
       ClaudeExtraUsage{true, {}, 50.0, 100.0}},
      // Nothing of its own: the money form is read instead.
      {R"({"extra_usage":{"is_enabled":false},"spend":{"used":{"amount_minor":1999}}})",
       ClaudeExtraUsage{false, 19.99, {}, {}}},
      {R"({"spend":{"enabled":true,"used":{"amount_minor":1999,"exponent":3},"limit":5,"percent":12.5}})",
       ClaudeExtraUsage{true, 1.999, 5.0, 12.5}},
      {R"({"spend":{"used":{"amount_minor":250,"exponent":1.5}}})", ClaudeExtraUsage{false, 2.5, {}, {}}},
      {R"({"spend":{"enabled":false,"used":null,"limit":"5"}})", {}},
      {R"({"extra_usage":null,"spend":null})", {}},
  };
  for (const auto& c : cases) {
    auto limits = parse(c.report);
    ASSERT_EQ(limits.extra.has_value(), c.extra.has_value()) << c.report;
    if (!c.extra) continue;
    EXPECT_EQ(limits.extra->enabled, c.extra->enabled) << c.report;
    for (auto [got, want] : {std::pair{limits.extra->used, c.extra->used}, {limits.extra->limit, c.extra->limit},
                             {limits.extra->used_percent, c.extra->used_percent}}) {
      ASSERT_EQ(got.has_value(), want.has_value()) << c.report;
      if (want) {
        EXPECT_DOUBLE_EQ(*got, *want) << c.report;
      }
    }
  }
}

TEST(ClaudeUsageReport, MoneyAmounts) {
  json::StrictParser parser;
  struct Case {
    std::string value;
    std::optional<double> amount;
  };
  const Case cases[] = {
      {"5", 5.0},
      {R"({"amount_minor":1999})", 19.99},
      {R"({"amount_minor":1999,"exponent":0})", 1999.0},
      {R"({"amount_minor":5,"exponent":-2})", 500.0},
      {R"({"amount_minor":1,"exponent":2147483648})", {}},  // beyond 32 bits: no amount at all
      // An exponent that divides by zero (or makes 0/0) counts as no amount.
      {R"({"amount_minor":1,"exponent":-400})", {}},
      {R"({"amount_minor":0,"exponent":-400})", {}},
      {R"({"amount_minor":1,"exponent":400})", 0.0},
      {R"({"exponent":2})", {}},
      {R"("12.5")", {}},
      {"null", {}},
  };
  for (const auto& c : cases) {
    auto value = parser.parse_copy(c.value);
    ASSERT_TRUE(value) << c.value;
    auto amount = parse_money_amount(*value);
    ASSERT_EQ(amount.has_value(), c.amount.has_value()) << c.value;
    if (c.amount) {
      EXPECT_DOUBLE_EQ(*amount, *c.amount) << c.value;
    }
  }
  EXPECT_FALSE(parse_money_amount(std::nullopt));
}

TEST(ClaudeUsageReport, EmptyReportsAndTextThatIsNotJson) {
  EXPECT_FALSE(parse_usage_response("not json"));
  EXPECT_FALSE(parse_usage_response(R"({"five_hour":)"));
  for (const char* text : {"{}", "[1,2]", R"({"limits":{"kind":"session"},"extra_usage":{}})"}) {
    auto limits = parse_usage_response(text);
    ASSERT_TRUE(limits) << text;
    EXPECT_TRUE(limits->empty()) << text;
    EXPECT_FALSE(claude_account_json(*limits, 1)) << text;
  }
}

TEST(ClaudeUsageReport, AccountObject) {
  auto limits = parse(R"({"five_hour":{"utilization":40,"resets_at":"2025-11-24T10:00:00Z"},
    "limits":[{"kind":"weekly_scoped","percent":12,"scope":"sonnet"}],
    "extra_usage":{"is_enabled":true,"used_credits":1234}})");
  auto account = claude_account_json(limits, 1763970000000);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->dump(),
            R"({"extraEnabled":true,"extraLimitUSD":null,"extraUsedPercent":null,"extraUsedUSD":12.34,)"
            R"("observedAtMs":1763970000000,"scoped":[{"name":"sonnet","resetsAtMs":null,"usedPercent":12.0}],)"
            R"("sessionResetsAtMs":1763978400000,"sessionUsedPercent":40.0,"weeklyResetsAtMs":null,)"
            R"("weeklyUsedPercent":null})");

  auto weekly_only = claude_account_json(parse(R"({"seven_day":{"utilization":3}})"), 5);
  ASSERT_TRUE(weekly_only);
  EXPECT_TRUE((*weekly_only)["extraEnabled"].is_null());
  EXPECT_EQ((*weekly_only)["weeklyUsedPercent"].dump(), "3.0");
}

}  // namespace
}  // namespace qm::claude::limits
