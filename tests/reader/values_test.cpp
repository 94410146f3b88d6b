// The JSON value readers and the epoch conversions.
#include "reader/values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "reader/epoch.h"

namespace qm::reader {
namespace {

constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
using U = std::optional<std::uint64_t>;

// Each case reads the member "v" of {"v": <json>}; "-" means the member is missing.
struct Case {
  std::string json;
  U count, count_or_decimal, truncated;
  std::optional<double> number, amount;
};

TEST(ReaderValues, CountKinds) {
  const Case cases[] = {
      {"12", 12, 12, 12, 12.0, 12.0},
      {"0", 0, 0, 0, 0.0, 0.0},
      {"18446744073709551615", kMax, kMax, kMax, 1.8446744073709552e19, 1.8446744073709552e19},
      {"-5", {}, {}, 0, -5.0, {}},
      {"12.7", {}, {}, 12, 12.7, 12.7},
      {"12.0", {}, {}, 12, 12.0, 12.0},
      {"-0.5", {}, {}, 0, -0.5, {}},
      {"1e30", {}, {}, kMax, 1e30, 1e30},
      {"99999999999999999999", {}, {}, kMax, 1e20, 1e20},  // beyond 64 bits: a float
      {"\" 42 \"", {}, 42, {}, {}, {}},
      {"\"+7\"", {}, 7, {}, {}, {}},
      {"\"-7\"", {}, {}, {}, {}, {}},
      {"\"4.2\"", {}, {}, {}, {}, {}},
      {"true", {}, {}, {}, {}, {}},
      {"null", {}, {}, {}, {}, {}},
      {"-", {}, {}, {}, {}, {}},
  };
  json::StrictParser parser;
  for (const auto& c : cases) {
    auto doc = parser.parse_copy(c.json == "-" ? "{}" : "{\"v\":" + c.json + "}");
    ASSERT_TRUE(doc) << c.json;
    auto v = at(*doc, "v");
    EXPECT_EQ(count(v), c.count) << c.json;
    EXPECT_EQ(count_or_decimal(v), c.count_or_decimal) << c.json;
    EXPECT_EQ(truncated_count(v), c.truncated) << c.json;
    EXPECT_EQ(number(v), c.number) << c.json;
    EXPECT_EQ(amount(v), c.amount) << c.json;
  }
}

TEST(ReaderValues, NumbersWrittenAsDecimalTexts) {
  using D = std::optional<double>;
  using I = std::optional<std::int64_t>;
  const struct {
    std::string json;
    D number, amount;
    I integer;
  } cases[] = {
      {"12", 12.0, 12.0, 12},
      {"-3", -3.0, {}, -3},
      {"1.5", 1.5, 1.5, {}},
      {"-0.0", -0.0, 0.0, {}},
      {R"("250")", 250.0, 250.0, 250},
      {R"("+250")", 250.0, 250.0, 250},
      {R"("-7")", -7.0, {}, -7},
      {R"("1.25e2")", 125.0, 125.0, {}},
      {R"(".5")", 0.5, 0.5, {}},
      {R"("-0")", -0.0, 0.0, 0},
      {R"("1e999")", HUGE_VAL, {}, {}},  // infinite: no amount
      {R"(" 12")", {}, {}, {}},          // no white space around the number
      {R"("12 ")", {}, {}, {}},
      {R"("+-1")", {}, {}, {}},
      {R"("0x10")", {}, {}, {}},
      {R"("")", {}, {}, {}},
      {R"("9223372036854775808")", 9223372036854775808.0, 9223372036854775808.0, {}},
      {"true", {}, {}, {}},
  };
  json::StrictParser parser;
  for (const auto& c : cases) {
    auto v = at(*parser.parse_copy("{\"v\":" + c.json + "}"), "v");
    EXPECT_EQ(number_or_decimal(v), c.number) << c.json;
    auto a = amount_or_decimal(v);
    EXPECT_EQ(a, c.amount) << c.json;
    if (a) {
      EXPECT_FALSE(std::signbit(*a)) << c.json;
    }
    EXPECT_EQ(integer_or_decimal(v), c.integer) << c.json;
  }
  auto nan = at(*parser.parse_copy(R"({"v":"nan"})"), "v");
  EXPECT_TRUE(std::isnan(*number_or_decimal(nan)));
  EXPECT_EQ(amount_or_decimal(nan), std::nullopt);
}

TEST(ReaderValues, PathsTextsAndSeveralKeys) {
  json::StrictParser parser;
  auto doc = parser.parse_copy(R"({"time":{"created":1700000000000},"s":"  hi ","blank":" ","n":5,
    "usage":{"a":0,"b":12.5,"c":"7","d":9,"e":3},"ts":"2025-01-02T03:04:05Z","bad_ts":"2025-01-02"})");
  ASSERT_TRUE(doc);
  EXPECT_EQ(integer(at(*doc, {"time", "created"})), 1'700'000'000'000);
  EXPECT_EQ(at(*doc, {"time", "created", "deeper"}), std::nullopt);
  EXPECT_EQ(at(*doc, {"s", "x"}), std::nullopt);  // a string has no members
  EXPECT_EQ(text(at(*doc, "s")), "hi");
  EXPECT_EQ(string(at(*doc, "s")), "  hi ");
  EXPECT_EQ(text(at(*doc, "blank")), std::nullopt);
  EXPECT_EQ(text(at(*doc, "n")), std::nullopt);
  EXPECT_TRUE(is_object(at(*doc, "usage")));
  EXPECT_FALSE(is_object(at(*doc, "n")));

  auto usage = at(*doc, "usage");
  // 0, a float and a string are passed over for the first positive integer.
  EXPECT_EQ(first_positive_count(usage, {"a", "b", "c", "missing", "d", "e"}), 9u);
  EXPECT_EQ(first_positive_count(usage, {"a", "b", "c"}), 0u);
  EXPECT_EQ(first_of(usage, {"missing", "c", "d"}, count_or_decimal), 7u);
  EXPECT_EQ(first_of(usage, {"a", "d"}, count), 0u);  // 0 is a value for `count`

  EXPECT_EQ(time_text_ms(at(*doc, "ts")), 1'735'787'045'000);
  EXPECT_EQ(time_text_ms(at(*doc, "bad_ts")), std::nullopt);
  EXPECT_EQ(time_text_ms(at(*doc, "n")), std::nullopt);
}

TEST(ReaderEpoch, CheckedConversions) {
  constexpr auto kI64Max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(seconds_to_ms(std::int64_t{1'700'000'000}), 1'700'000'000'000);
  EXPECT_EQ(seconds_to_ms(std::int64_t{-2}), -2000);
  EXPECT_EQ(seconds_to_ms(kI64Max / 1000 + 1), std::nullopt);

  EXPECT_EQ(seconds_to_ms(1'700'000'000.5), 1'700'000'000'500);
  EXPECT_EQ(seconds_to_ms(1.0009), 1000);  // the fraction of a millisecond is cut
  EXPECT_EQ(seconds_to_ms(-1.0009), -1000);
  EXPECT_EQ(seconds_to_ms(9.3e15), std::nullopt);
  EXPECT_EQ(seconds_to_ms(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(seconds_to_ms(std::numeric_limits<double>::quiet_NaN()), std::nullopt);

  const std::int64_t kMsAbove = 1'000'000'000'000;
  EXPECT_EQ(seconds_or_ms(1'700'000'000, kMsAbove), 1'700'000'000'000);
  EXPECT_EQ(seconds_or_ms(1'700'000'000'000, kMsAbove), 1'700'000'000'000);
  EXPECT_EQ(seconds_or_ms(kMsAbove, kMsAbove), kMsAbove * 1000);  // not above: seconds
  EXPECT_EQ(seconds_or_ms(-kI64Max, kMsAbove), std::nullopt);
}

}  // namespace
}  // namespace qm::reader
