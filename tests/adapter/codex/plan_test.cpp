// Rate limits read from the tails of the newest rollouts, and the weekly window.
#include "adapter/codex/plan.h"

#include <gtest/gtest.h>

#include <fmt/core.h>

#include "json/strict.h"
#include "kit/env.h"

namespace qm::codex::plan {
namespace {

std::string limits_line(const std::string& ts, double used, const std::string& extra = "") {
  return fmt::format(
      R"({{"timestamp":"{}","type":"event_msg","payload":{{"type":"token_count","info":null,"rate_limits":{{{}"primary":{{"used_percent":{},"window_minutes":300,"resets_at":1760000000}},"secondary":{{"used_percent":12.5,"window_minutes":10080}},"plan_type":"plus"}}}}}})",
      ts, extra, used) +
         "\n";
}

class RolloutLimits : public ::testing::Test {
 protected:
  void SetUp() override { env_.set("CODEX_HOME", (dir_ / "home").string()); }
  void write(const std::string& rel, const std::string& content) { kit::write_file(dir_ / "home" / rel, content); }
  kit::TempDir dir_;
  kit::EnvGuard env_;
};

TEST_F(RolloutLimits, NewestReadingOfTheNewestFiles) {
  write("sessions/2025/10/02/rollout-2025-10-02-b.jsonl",
        limits_line("2025-10-02T10:00:00.000Z", 40) + limits_line("2025-10-02T11:00:00.000Z", 41) +
            R"({"type":"response_item","payload":{"type":"message"}})"
            "\n");
  // Greater by name though in an older directory and the archive.
  write("archived_sessions/rollout-2025-10-03-a.jsonl", R"({"type":"response_item"})"
                                                        "\n");
  write("sessions/2025/10/01/rollout-2025-10-01-z.jsonl", limits_line("2025-10-01T10:00:00.000Z", 10));
  auto r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->observed_at_ms, 1759402800000);
  ASSERT_TRUE(r->limits.primary);
  EXPECT_EQ(*r->limits.primary, (RateLimitWindow{41, 300, 1760000000}));
  EXPECT_EQ(*r->limits.secondary, (RateLimitWindow{12.5, 10080, std::nullopt}));
  EXPECT_EQ(r->limits.plan_type, "plus");
  EXPECT_FALSE(r->limits.limit_id);
  EXPECT_FALSE(r->limits.reset_credits_available);
  EXPECT_EQ(latest_rate_limits(), r->limits);

  // Only the 24 greatest names are examined.
  for (int i = 0; i < 24; ++i) write(fmt::format("sessions/x/rollout-2025-11-{:02}.jsonl", i + 1), "{}\n");
  EXPECT_FALSE(read_rollout_rate_limits());
}

TEST_F(RolloutLimits, OnlyTheLast64KiBAndATailThatStartsInsideACharacter) {
  std::string pad = R"({"type":"response_item","payload":{"text":")" + std::string(200000, 'a') + "\"}}\n";
  write("sessions/rollout-1.jsonl", limits_line("2025-10-01T10:00:00.000Z", 5));
  write("sessions/rollout-2.jsonl", limits_line("2025-10-02T10:00:00.000Z", 6) + pad);
  auto r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.primary->used_percent, 5);  // the record of file 2 lies before its tail

  // A tail whose first byte is inside "é": the partial first line goes, the rest is read.
  std::string accents;
  while (accents.size() < 70000) accents += "é";
  std::string tail_line = limits_line("2025-10-03T10:00:00.000Z", 7);
  std::string head = R"({"type":"response_item","payload":{"text":")";
  // Make the tail start on the second byte of a two-byte character.
  std::string filler;
  for (std::string extra : {"", "x"}) {
    filler = head + accents + extra + "\"}}\n";
    std::size_t cut = filler.size() + tail_line.size() - 65536;
    if ((static_cast<unsigned char>(filler[cut]) & 0xC0) == 0x80) break;
  }
  ASSERT_EQ(static_cast<unsigned char>(filler[filler.size() + tail_line.size() - 65536]) & 0xC0, 0x80);
  write("sessions/rollout-3.jsonl", filler + tail_line);
  r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.primary->used_percent, 7);

  // A last line still being written, cut inside a character, leaves the lines before it.
  write("sessions/rollout-4.jsonl", limits_line("2025-10-04T10:00:00.000Z", 8) + head + "caf\xc3");
  r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.primary->used_percent, 8);

  // Invalid UTF-8 among the complete lines rejects the file.
  write("sessions/rollout-5.jsonl", limits_line("2025-10-05T10:00:00.000Z", 9) + "\xff\n");
  r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.primary->used_percent, 8);
}

TEST_F(RolloutLimits, RecordShapesAndLimitIds) {
  write("sessions/rollout-1.jsonl",
        limits_line("2025-10-01T10:00:00.000Z", 1, R"("limit_id":"codex",)") +
            limits_line("2025-10-01T11:00:00.000Z", 2, R"("limit_id":"other",)") + "{\"rate_limits\": half\n");
  auto r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.primary->used_percent, 1);
  EXPECT_EQ(r->limits.limit_id, "codex");

  // payload.rate_limits without "primary": the line is searched, keys in ascending order.
  write("sessions/rollout-2.jsonl",
        R"({"timestamp":"soon","payload":{"rate_limits":{"x":1}},"b":{"rate_limits":{"primary":{"used_percent":3,"window_minutes":60}}},"a":[{"rate_limits":{"primary":null,"plan_type":"pro"}}]})"
        "\n");
  r = read_rollout_rate_limits();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.plan_type, "pro");
  EXPECT_FALSE(r->limits.primary);
  EXPECT_FALSE(r->observed_at_ms);

  write("sessions/rollout-3.jsonl", R"({"payload":{"rate_limits":{"x":1}}})"
                                    "\n");
  r = read_rollout_rate_limits();  // no record in file 3: file 2 again
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limits.plan_type, "pro");
}

TEST(RateLimitWindows, ParsingAndTheWeeklyChoice) {
  json::StrictParser p;
  auto window = [&](const std::string& text) { return parse_rate_limit_window(p.parse_copy(text)); };
  EXPECT_EQ(window(R"({"used_percent":12.5,"window_minutes":10080})"), (RateLimitWindow{12.5, 10080, std::nullopt}));
  EXPECT_EQ(window(R"({"used_percent":120,"window_minutes":0,"resets_at":-5})"), (RateLimitWindow{120, 0, -5}));
  EXPECT_EQ(window(R"({"used_percent":1,"window_minutes":5,"resets_at":1.5})")->resets_at, std::nullopt);
  EXPECT_EQ(window(R"({"used_percent":1,"window_minutes":5,"resets_at":18446744073709551615})")->resets_at,
            std::nullopt);
  EXPECT_FALSE(window(R"({"used_percent":"1","window_minutes":5})"));
  EXPECT_FALSE(window(R"({"used_percent":1,"window_minutes":5.0})"));
  EXPECT_FALSE(window(R"({"used_percent":1,"window_minutes":-5})"));
  EXPECT_FALSE(window("null"));
  EXPECT_FALSE(parse_rate_limit_window(std::nullopt));

  auto w = [](std::uint64_t minutes, double used = 0) { return RateLimitWindow{used, minutes, std::nullopt}; };
  auto weekly = [](std::optional<RateLimitWindow> a, std::optional<RateLimitWindow> b) {
    CodexRateLimits r;
    r.primary = a;
    r.secondary = b;
    return select_weekly_window(r);
  };
  EXPECT_EQ(weekly(w(300), w(10080, 2)), w(10080, 2));
  EXPECT_EQ(weekly(w(10080, 1), w(10080, 2)), w(10080, 2));
  EXPECT_EQ(weekly(w(20160, 1), w(10080, 2)), w(20160, 1));
  EXPECT_EQ(weekly(w(2880), std::nullopt), w(2880));
  EXPECT_EQ(weekly(w(2879), w(300)), std::nullopt);
}

}  // namespace
}  // namespace qm::codex::plan
