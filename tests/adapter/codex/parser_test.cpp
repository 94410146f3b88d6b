// Codex rollout lines: line kinds, lenient counts, and the events of whole files.
#include "adapter/codex/parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "adapter/codex/rollout.h"
#include "json/strict.h"
#include "kit/env.h"

namespace qm::codex::parser {
namespace {

using testing::quoted;
using testing::token_count;
using testing::turn_context;
using testing::Usage;

TEST(CodexLineKind, SubstringRulesAndTheSpacedForm) {
  std::string big_output(70000, 'x');
  struct Case {
    std::string line;
    LineKind kind;
  } cases[] = {
      {R"({"type":"event_msg","payload":{"type":"token_count","info":null}})", LineKind::Session},
      {R"({"type":"event_msg","payload":{"type":"agent_message","message":"hi"}})", LineKind::Other},
      {R"({"type":"turn_context","payload":{"model":"gpt-5"}})", LineKind::Session},
      {R"({"type":"response_item","payload":{"type":"message"}})", LineKind::Other},
      // Spaced forms: scanned when event_msg is there, or when no "type": is there at all.
      {"{\"type\" : \"event_msg\", \"payload\": {\"type\" :\t\"token_count\"}}", LineKind::Session},
      // One unspaced "type": (with a tab after it) that names neither word: no scan at all.
      {"{\"type\" : \"event_msg\", \"payload\": {\"type\":\t\"token_count\"}}", LineKind::Other},
      {R"({"type":"event_msg","payload":{"type" : "token_count"}})", LineKind::Session},
      {R"({"type" : "turn_context"})", LineKind::Session},
      {R"({"type": "turn_context"})", LineKind::Other},  // holds "type": but none of the rules' words
      {R"({"type":"token_count","x":{"type" :"event_msg"}})", LineKind::Session},
      {R"({"type":"token_count","x":{"type" :"event_msg"},"pad":")" + big_output + "\"}", LineKind::Other},
      // Usage lines.
      {R"({"usage":{"input_tokens":5}})", LineKind::Usage},
      {R"({"prompt_tokens":5})", LineKind::Usage},
      {R"({"type":"response_item","usage":{}})", LineKind::Usage},
      {R"({"type":"event_msg","usage":{}})", LineKind::Usage},
      {R"({"usage" : {}})", LineKind::Other},
      // Patterns inside string values are escaped, so they never match.
      {R"({"type":"response_item","payload":{"output":"{\"type\":\"turn_context\",\"usage\":1}"}})", LineKind::Other},
      {"", LineKind::Other},
      {":", LineKind::Other},
      // Patterns that reach the ends of the line.
      {R"("usage":1)", LineKind::Usage},
      {R"("type":"turn_context")", LineKind::Session},
      {R"({"type":)", LineKind::Other},
      {R"({"type":"turn_context)", LineKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(line_kind(c.line), c.kind) << c.line.substr(0, 120);
}

TEST(CodexLenientCounts, IntegersAndDecimalStrings) {
  json::StrictParser p;
  struct Case {
    std::string value;
    std::optional<std::uint64_t> count;
  } cases[] = {
      {"7", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // read as a float
      {"-1", std::nullopt},
      {"12.0", std::nullopt},
      {"null", std::nullopt},
      {"true", std::nullopt},
      {R"("  12 ")", 12},
      {R"("+7")", 7},
      {R"("007")", 7},
      {R"("1,000")", std::nullopt},
      {R"("")", std::nullopt},
      {R"("+")", std::nullopt},
      {R"("-3")", std::nullopt},
      {R"("18446744073709551616")", std::nullopt},
  };
  for (const auto& c : cases) {
    auto doc = p.parse_copy("[" + c.value + "]");
    ASSERT_TRUE(doc) << c.value;
    simdjson::dom::array a = doc->get_array().value();
    EXPECT_EQ(lenient_count(a.at(0).value()), c.count) << c.value;
  }
}

TEST(CodexLenientCounts, UsageObjectKeysFallBackInOrder) {
  json::StrictParser p;
  auto norm = [&](const std::string& text) {
    auto doc = p.parse_copy(text);
    EXPECT_TRUE(doc) << text;
    return normalise_usage(*doc);
  };
  auto u = norm(R"({"input_tokens":null,"prompt_tokens":7,"input":9,"cache_read_input_tokens":"3","completion_tokens":2,
                   "reasoning_tokens":4,"total_tokens":0})");
  ASSERT_EQ(u.status, UsageStatus::Read);
  EXPECT_EQ(u.counts, (TokenCounts{7, 3, 2, 4, 13}));  // a total of 0 is replaced by the sum
  EXPECT_EQ(norm(R"({"output":5})").counts, (TokenCounts{0, 0, 5, 0, 5}));
  EXPECT_EQ(norm(R"({"input_tokens":"1,000","input":4,"total_tokens":99})").counts, (TokenCounts{4, 0, 0, 0, 99}));
  EXPECT_EQ(norm(R"({"input_tokens":[1]})").status, UsageStatus::Unreadable);
  EXPECT_EQ(norm(R"({"output":{}})").status, UsageStatus::Unreadable);
  EXPECT_EQ(norm(R"({"input_tokens":1,"input_tokens":2})").status, UsageStatus::Unreadable);
  EXPECT_EQ(norm(R"({"other":[1],"other":2})").status, UsageStatus::Read);
  EXPECT_EQ(norm("[1]").status, UsageStatus::NotObject);
}

TEST(CodexDelta, AgainstThePreviousTotal) {
  EXPECT_EQ(token_usage_delta({10, 2, 3, 1, 14}, std::nullopt), (TokenCounts{10, 2, 3, 1, 14}));
  EXPECT_EQ(token_usage_delta({10, 2, 3, 1, 14}, TokenCounts{4, 5, 3, 0, 7}), (TokenCounts{6, 0, 0, 1, 7}));
}

class RolloutFile : public ::testing::Test {
 protected:
  std::vector<CodexUsageEvent> read(const std::string& content) {
    auto path = dir_ / ("r" + std::to_string(n_++) + ".jsonl");
    kit::write_file(path, content);
    return parse_rollout_file(path);
  }
  kit::TempDir dir_;
  int n_ = 0;
};

TEST_F(RolloutFile, TotalsGiveDeltasAndMoveEvenWhenNothingCounts) {
  auto ev = read(token_count(quoted("2025-10-01T10:00:00.000Z"), {}, Usage{100, 20, 10, 5, 115}) +
                 token_count(quoted("2025-10-01T10:01:00.000Z"), {}, Usage{250, 50, 30, 5, 285}) +
                 // lower in every count: nothing, but it becomes the previous total
                 token_count(quoted("2025-10-01T10:02:00.000Z"), {}, Usage{50, 0, 5, 0, 55}) +
                 token_count(quoted("2025-10-01T10:03:00.000Z"), {}, Usage{120, 0, 15, 0, 135}) +
                 // last wins over total; a last of zeros (total 50) gives nothing
                 token_count(quoted("2025-10-01T10:04:00.000Z"), Usage{0, 0, 0, 0, 50}, Usage{500, 0, 20, 0, 520}) +
                 token_count(quoted("2025-10-01T10:05:00.000Z"), {}, Usage{510, 0, 21, 0, 531}) +
                 // cached input never exceeds input
                 token_count(quoted("2025-10-01T10:06:00.000Z"), Usage{300, 500, 1, 0, 301}));
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[0].counts, (TokenCounts{100, 20, 10, 5, 115}));
  EXPECT_EQ(ev[1].counts, (TokenCounts{150, 30, 20, 0, 170}));
  EXPECT_EQ(ev[2].counts, (TokenCounts{70, 0, 10, 0, 80}));
  EXPECT_EQ(ev[3].counts, (TokenCounts{10, 0, 1, 0, 11}));
  EXPECT_EQ(ev[4].counts, (TokenCounts{300, 300, 1, 0, 301}));
  for (const auto& e : ev) EXPECT_EQ(e.model, "gpt-5");  // no model anywhere
}

TEST_F(RolloutFile, ModelsFromTurnContextPayloadAndAutoReviewDates) {
  auto ev = read(turn_context("codex-auto-review") +
                 token_count(quoted("2025-10-01T10:00:00.000Z"), Usage{1, 0, 1, 0, 2}) +
                 token_count(quoted("2026-03-10T10:00:00.000Z"), Usage{2, 0, 1, 0, 3}) +
                 token_count(quoted("2025-08-01T10:00:00.000Z"), Usage{3, 0, 1, 0, 4}) +
                 token_count(quoted("2026-04-23T00:00:00.000Z"), Usage{4, 0, 1, 0, 5}) +
                 token_count(quoted("2025-02-30T10:00:00.000Z"), Usage{5, 0, 1, 0, 6}) +
                 token_count(quoted("2025-10-02T10:00:00.000Z"), Usage{6, 0, 1, 0, 7}, {}, R"(,"model":"  o3  ")") +
                 token_count(quoted("2025-10-02T11:00:00.000Z"), Usage{7, 0, 1, 0, 8}) +
                 turn_context("  ") + token_count(quoted("2025-10-02T12:00:00.000Z"), Usage{8, 0, 1, 0, 9}));
  std::vector<std::string> models;
  for (const auto& e : ev) models.push_back(e.model);
  EXPECT_EQ(models, (std::vector<std::string>{"gpt-5-codex", "gpt-5.4", "gpt-5", "gpt-5.5", "gpt-5", "o3", "o3", "o3"}));
}

TEST_F(RolloutFile, NumericTimestampsInSecondsOrMilliseconds) {
  auto ev = read(token_count("1700000000", Usage{1, 0, 0, 0, 1}) + token_count("1700000000000", Usage{2, 0, 0, 0, 2}) +
                 token_count("10000000000", Usage{3, 0, 0, 0, 3}) + token_count("10000000001", Usage{4, 0, 0, 0, 4}) +
                 token_count(quoted("  2025-10-01T10:00:00Z "), Usage{5, 0, 0, 0, 5}) +
                 token_count("1.5", Usage{6, 0, 0, 0, 6}) +       // not a timestamp: the line is unreadable
                 token_count("-5", Usage{7, 0, 0, 0, 7}) +        // neither
                 token_count(quoted(""), Usage{8, 0, 0, 0, 8}) +  // no timestamp: passed over
                 token_count("null", Usage{9, 0, 0, 0, 9}));
  std::vector<std::string> ts;
  for (const auto& e : ev) ts.push_back(e.timestamp);
  EXPECT_EQ(ts, (std::vector<std::string>{"2023-11-14T22:13:20.000Z", "2023-11-14T22:13:20.000Z",
                                          "2286-11-20T17:46:40.000Z", "1970-04-26T17:46:40.001Z",
                                          "2025-10-01T10:00:00Z"}));
}

TEST_F(RolloutFile, ReplayedHistoryOfASpawnedThreadIsSkipped) {
  std::string meta = R"({"timestamp":"2025-11-02T10:00:00.000Z","type":"session_meta","payload":{"source":{"subagent":{"thread_spawn":{"depth":1}}}}})"
                     "\n";
  std::string counts = token_count(quoted("2025-11-02T10:00:00.100Z"), Usage{10, 0, 1, 0, 11}, Usage{10, 0, 1, 0, 11}) +
                       token_count(quoted("2025-11-02T10:00:00.200Z"), Usage{20, 0, 2, 0, 22}, Usage{30, 0, 3, 0, 33}) +
                       token_count(quoted("2025-11-02T10:00:00.900Z"), Usage{30, 0, 3, 0, 33}, Usage{60, 0, 6, 0, 66}) +
                       token_count(quoted("2025-11-02T10:00:05.000Z"), {}, Usage{100, 0, 10, 0, 110});
  auto spawned = read(meta + counts);
  ASSERT_EQ(spawned.size(), 1u);
  EXPECT_EQ(spawned[0].counts, (TokenCounts{40, 0, 4, 0, 44}));

  auto plain = read(R"({"type":"session_meta","payload":{"source":"cli"}})"
                    "\n" +
                    counts);
  EXPECT_EQ(plain.size(), 4u);

  // The prefix needs two token counts in one second; otherwise nothing is skipped.
  auto lone = read(meta + token_count(quoted("2025-11-02T10:00:00.100Z"), Usage{10, 0, 1, 0, 11}) +
                   token_count(quoted("2025-11-02T10:00:01.100Z"), Usage{10, 0, 1, 0, 11}));
  EXPECT_EQ(lone.size(), 2u);
}

TEST_F(RolloutFile, UsageLinesInTheirSimplerForms) {
  auto path = dir_ / "usage.jsonl";
  kit::write_file(path,
                  R"({"usage":{"total_tokens":0,"output":0}})"
                  "\n"
                  R"({"usage":{"output":5},"created_at":1700000000,"model":"gpt-4.1"})"
                  "\n"
                  // an unreadable usage object falls through to the next place
                  R"({"usage":{"input_tokens":[1]},"data":{"usage":{"prompt_tokens":"4"},"createdAt":"2025-10-01T10:00:00+02:00","model_name":"m2"}})"
                  "\n"
                  // no usable timestamp: the file's modification time
                  R"({"usage":{"input_tokens":3},"timestamp":"yesterday","model":5,"response":{"metadata":{"model":"m3"}}})"
                  "\n"
                  // the date text for codex-auto-review may be a bare date
                  R"({"usage":{"input_tokens":2},"timestamp":"2026-03-06 noon","model":"codex-auto-review"})"
                  "\n"
                  "not json\n");
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1750000000))));
  auto ev = parse_rollout_file(path);
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].counts, (TokenCounts{0, 0, 5, 0, 5}));
  EXPECT_EQ(ev[0].timestamp, "2023-11-14T22:13:20.000Z");
  EXPECT_EQ(ev[0].model, "gpt-4.1");
  EXPECT_EQ(ev[1].counts, (TokenCounts{4, 0, 0, 0, 4}));
  EXPECT_EQ(ev[1].timestamp, "2025-10-01T08:00:00.000Z");
  EXPECT_EQ(ev[1].model, "m2");
  EXPECT_EQ(ev[2].timestamp, "2025-06-15T15:06:40.000Z");
  EXPECT_EQ(ev[2].model, "m3");
  EXPECT_EQ(ev[3].model, "gpt-5.4");
  EXPECT_EQ(ev[3].timestamp, "2025-06-15T15:06:40.000Z");
}

TEST_F(RolloutFile, UnreadableSessionLinesArePassedOver) {
  auto ev = read(R"({"timestamp":"2025-10-01T10:00:00.000Z","type":"turn_context","timestamp":"x","payload":{"model":"dup"}})"
                 "\n"
                 R"({"timestamp":1.5,"type":"turn_context","payload":{"model":"bad-time"}})"
                 "\n" +
                 token_count(quoted("2025-10-01T10:00:00.000Z"), Usage{1, 0, 1, 0, 2}) +
                 R"({"timestamp":"2025-10-01T10:00:01.000Z","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":{}}}}})"
                 "\n"
                 R"({"timestamp":"2025-10-01T10:00:02.000Z","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":"5"}}})"
                 "\n");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].model, "gpt-5");
}

}  // namespace
}  // namespace qm::codex::parser
