// Claude Code log lines: the text tests, the strict shapes, plausibility, cost and keys.
#include "adapter/claude/daily.h"

#include <gtest/gtest.h>

#include "kit/env.h"

namespace qm::claude::daily {
namespace {

constexpr std::string_view kLine =
    R"({"parentUuid":null,"isSidechain":false,"cwd":"/p","sessionId":"s1","version":"2.1.9","type":"assistant",)"
    R"("message":{"model":"m","id":"msg_1","type":"message","role":"assistant","content":[{"type":"text","text":"hi"}],)"
    R"("stop_reason":null,"usage":{"input_tokens":10,"cache_creation_input_tokens":30,"cache_read_input_tokens":40,)"
    R"("output_tokens":20}},"requestId":"req_1","timestamp":"2025-03-01T10:00:00.000Z"})";

std::string with(std::string_view from, std::string_view to, std::string line = std::string(kLine)) {
  auto at = line.find(from);
  if (at == std::string::npos)
    ADD_FAILURE() << "no " << from << " in the line";
  else
    line.replace(at, from.size(), to);
  return line;
}

pricing::PricingTable price_table() {
  pricing::PricingTable t;
  pricing::ModelPrice p;
  p.input = 1e-6;
  p.output = 2e-6;
  p.cache_creation = 3e-6;
  p.cache_read = 4e-6;
  p.fast_multiplier = 6.0;
  t.prices["m"] = p;
  return t;
}

std::vector<DailyUsageRecord> parse_text(const std::string& text, CostMode mode = CostMode::Auto,
                                         const pricing::PricingTable* table = nullptr) {
  kit::TempDir dir;
  kit::write_file(dir / "s.jsonl", text);
  return parse_daily_usage_file(dir / "s.jsonl", cctz::utc_time_zone(), mode, table);
}

std::size_t count(const std::string& line) { return parse_text(line + "\n").size(); }

TEST(ClaudeLines, EachRuleAcceptsOrPassesOverALine) {
  // Under the top-level object; the innermost array holds a value, so every level counts.
  const std::string arrays127 = std::string(126, '[') + "[1]" + std::string(126, ']');
  const std::string arrays128 = std::string(127, '[') + "[1]" + std::string(127, ']');
  struct Case {
    std::string name, line;
    std::size_t records;
  };
  const std::vector<Case> cases = {
      {"the usage line as logged", std::string(kLine), 1},
      {"blank before the usage brace", with("\"usage\":{", "\"usage\": {"), 0},
      {"request id :null", with("\"requestId\":\"req_1\"", "\"requestId\":null"), 0},
      {"blank between key and :null", with("\"requestId\":\"req_1\"", "\"requestId\" :null"), 0},
      {"blank after the colon is no :null", with("\"requestId\":\"req_1\"", "\"requestId\": null"), 1},
      {"cwd :null at the top", with("\"cwd\":\"/p\"", "\"cwd\":null"), 0},
      {"cwd :null nested anywhere",
       with("\"type\":\"assistant\"", "\"type\":\"assistant\",\"x\":{\"y\":[{\"cwd\":null}]}"), 0},
      {"null under a key outside the set", with("\"type\":\"assistant\"", "\"type\":null,\"service_tier\":null"), 1},
      {"known top-level key twice", with("\"sessionId\":\"s1\"", "\"sessionId\":\"s1\",\"sessionId\":\"s1\""), 0},
      {"known usage key twice", with("\"input_tokens\":10", "\"input_tokens\":10,\"input_tokens\":10"), 0},
      {"known message key twice", with("\"model\":\"m\"", "\"model\":\"m\",\"model\":\"m\""), 0},
      {"unknown key twice", with("\"type\":\"assistant\"", "\"type\":\"assistant\",\"type\":\"user\""), 1},
      {"count as 12.0", with("\"input_tokens\":10", "\"input_tokens\":12.0"), 0},
      {"negative count", with("\"input_tokens\":10", "\"input_tokens\":-1"), 0},
      {"count as a string", with("\"input_tokens\":10", "\"input_tokens\":\"10\""), 0},
      {"count beyond 64 bits", with("\"input_tokens\":10", "\"input_tokens\":18446744073709551616"), 0},
      {"largest 64-bit count", with("\"input_tokens\":10", "\"input_tokens\":18446744073709551615"), 1},
      {"input count missing", with("\"input_tokens\":10,", ""), 0},
      {"cache counts missing", with("\"cache_creation_input_tokens\":30,\"cache_read_input_tokens\":40,", ""), 1},
      {"cache count null", with("\"cache_read_input_tokens\":40", "\"cache_read_input_tokens\": null"), 0},
      {"nesting of 128 levels", with("\"type\":\"assistant\"", "\"type\":\"assistant\",\"deep\":" + arrays127), 1},
      {"nesting of 129 levels", with("\"type\":\"assistant\"", "\"type\":\"assistant\",\"deep\":" + arrays128), 0},
      {"trailing characters", std::string(kLine) + " x", 0},
      {"trailing blanks and a carriage return", std::string(kLine) + " \r", 1},
      {"a byte that is not UTF-8", with("\"text\":\"hi\"", "\"text\":\"h\xff\""), 0},
      {"timestamp as a number", with("\"timestamp\":\"2025-03-01T10:00:00.000Z\"", "\"timestamp\":1740823200000"), 0},
      {"timestamp of another shape", with("T10:00:00.000Z", " 10:00:00.000Z"), 0},
      {"timestamp missing", with(",\"timestamp\":\"2025-03-01T10:00:00.000Z\"", ""), 0},
      {"version 0.2", with("2.1.9", "0.2"), 0},
      {"version 1.0", with("2.1.9", "1.0"), 0},
      {"version with a suffix", with("2.1.9", "2.1.3-beta"), 1},
      {"version missing", with("\"version\":\"2.1.9\",", ""), 1},
      {"empty session id", with("\"sessionId\":\"s1\"", "\"sessionId\":\"\""), 0},
      {"empty request id", with("\"requestId\":\"req_1\"", "\"requestId\":\"\""), 0},
      {"empty message id", with("\"id\":\"msg_1\"", "\"id\":\"\""), 0},
      {"empty model", with("\"model\":\"m\"", "\"model\":\"\""), 0},
      {"speed word unknown", with("\"output_tokens\":20", "\"output_tokens\":20,\"speed\":\"turbo\""), 0},
      {"speed object with a value", with("\"output_tokens\":20", "\"output_tokens\":20,\"speed\":{\"fast\":1}"), 0},
      {"speed as an object", with("\"output_tokens\":20", "\"output_tokens\":20,\"speed\":{\"standard\":null}"), 1},
      {"split of the wrong type", with("\"output_tokens\":20", "\"output_tokens\":20,\"cache_creation\":3"), 0},
      {"split null", with("\"output_tokens\":20", "\"output_tokens\":20,\"cache_creation\":null"), 1},
      {"split of other keys", with("\"output_tokens\":20", "\"output_tokens\":20,\"cache_creation\":{\"x\":1}"), 1},
      {"split key twice",
       with(
           "\"output_tokens\":20",
           "\"output_tokens\":20,\"cache_creation\":{\"ephemeral_1h_input_tokens\":1,\"ephemeral_1h_input_tokens\":1}"),
       0},
      {"cost as a string", with("\"requestId\"", "\"costUSD\":\"1\",\"requestId\""), 0},
      {"cost beyond 64 bits", with("\"requestId\"", "\"costUSD\":123456789012345678901234567890,\"requestId\""), 1},
      {"cost of many digits beside a count beyond 64 bits",
       with("\"requestId\"", "\"costUSD\":0.0000012345678901234567,\"requestId\"",
            with("\"stop_reason\":null", "\"stop_reason\":null,\"n\":18446744073709551616")),
       1},
      {"sidechain as a string", with("\"isSidechain\":false", "\"isSidechain\":\"no\""), 0},
      {"usage only in a tool result",
       R"({"type":"user","message":{"role":"user","content":"x"},"timestamp":"2025-03-01T10:00:00.000Z","toolUseResult":{"usage":{"input_tokens":1,"output_tokens":2}}})",
       0},
      {"a line that is not an object", R"([{"usage":{"input_tokens":1,"output_tokens":2}}])", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(count(c.line), c.records) << c.name << "\n" << c.line;
}

TEST(ClaudeLines, NullKeyScan) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {R"({"a":null})", false},
      {R"({"id":null})", true},
      {R"({"a":null,"b":1,"id":null})", true},
      {R"({"cache_creation_input_tokens":null})", true},
      {R"({"xcache_creation_input_tokens":null})", false},
      {R"({"isApiErrorMessage"  :null})", true},
      {R"(:null "model")", false},
      {R"(model:null)", false},
      {R"({"t":"a \"model\":null b"})", false},  // a text test: the key taken is model and a backslash
      {R"({"a":[1,"b"],"x":{"id"  :null}})", true},
  };
  for (const auto& [line, has] : cases) EXPECT_EQ(line_has_null_key(line), has) << line;
  // Other nulls before the one that counts, more than are looked at in one go; a key spaced
  // from its colon, whose quote is sought back over them.
  for (std::size_t others : {7, 8, 9, 16, 17}) {
    std::string line = "{";
    for (std::size_t i = 0; i < others; ++i) line += "\"a\":null,";
    EXPECT_FALSE(line_has_null_key(line + "\"b\":1}")) << others;
    EXPECT_TRUE(line_has_null_key(line + "\"id\" :null}")) << others;
  }
}

TEST(ClaudeLines, VersionStrings) {
  for (std::string_view v : {"1.0.35", "2.1.3-beta", "10.20.3", "0.0.0x"}) EXPECT_TRUE(is_version_string(v)) << v;
  for (std::string_view v : {"1.0", "", "v1.0.3", "1..3", "1.0.", ".1.2", "1.a.3"})
    EXPECT_FALSE(is_version_string(v)) << v;
}

TEST(ClaudeLines, FieldsOfAUsageLineAndOfAProgressLine) {
  auto table = price_table();
  auto r = parse_text(std::string(kLine) + "\n", CostMode::Auto, &table);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].date(), "2025-03-01");
  ASSERT_TRUE(r[0].model);
  EXPECT_EQ(*r[0].model, "m");
  EXPECT_EQ(r[0].message_id(), "msg_1");
  EXPECT_EQ(r[0].request_id(), "req_1");
  EXPECT_EQ(r[0].sidechain, false);
  EXPECT_FALSE(r[0].has_speed);
  EXPECT_EQ(r[0].tokens.input, 10u);
  EXPECT_EQ(r[0].tokens.output, 20u);
  EXPECT_EQ(r[0].tokens.cache_creation, 30u);
  EXPECT_EQ(r[0].tokens.cache_read, 40u);
  EXPECT_FALSE(r[0].tokens.cache_creation_split);
  EXPECT_DOUBLE_EQ(r[0].cost, 10e-6 + 40e-6 + 90e-6 + 160e-6);
  EXPECT_FALSE(r[0].unpriced);

  // A sub-agent's reply in its parent: the entry lies in data.message.
  const std::string progress =
      R"({"type":"progress","sessionId":"s","version":"0.1","timestamp":"2025-03-02T00:00:00Z","data":{"type":"agent_progress",)"
      R"("message":{"type":"assistant","requestId":"req_9","timestamp":"2025-03-01T23:59:59Z","isSidechain":true,)"
      R"("message":{"id":"msg_9","usage":{"input_tokens":1,"output_tokens":2,"speed":{"fast":null},)"
      R"("cache_creation":{"ephemeral_5m_input_tokens":3}}}}}})";
  r = parse_text(progress + "\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].date(), "2025-03-01");
  EXPECT_EQ(r[0].request_id(), "req_9");
  EXPECT_EQ(r[0].message_id(), "msg_9");
  EXPECT_EQ(r[0].sidechain, true);
  EXPECT_FALSE(r[0].model);
  EXPECT_EQ(r[0].tokens.speed, Speed::Fast);
  ASSERT_TRUE(r[0].tokens.cache_creation_split);
  EXPECT_EQ(r[0].tokens.cache_creation_split->ephemeral_5m, 3u);
  EXPECT_EQ(r[0].tokens.cache_creation_split->ephemeral_1h, 0u);

  // The first shape always wins: a top-level entry is never read from its data.
  const std::string both = with("\"type\":\"assistant\"",
                                "\"type\":\"assistant\",\"data\":{\"message\":" + with("req_1", "req_other") + "}");
  r = parse_text(both + "\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].request_id(), "req_1");
}

TEST(ClaudeLines, PerModelKeyCostModesAndUnpricedModels) {
  auto table = price_table();
  const std::string fast = with("\"output_tokens\":20", "\"output_tokens\":20,\"speed\":\"fast\"");
  auto r = parse_text(fast + "\n", CostMode::Calculate, &table);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(*r[0].model, "m-fast");
  EXPECT_TRUE(r[0].has_speed);
  EXPECT_DOUBLE_EQ(r[0].cost, 6.0 * 300e-6);

  auto synthetic = parse_text(with("\"model\":\"m\"", "\"model\":\"<synthetic>\"") + "\n", CostMode::Calculate, &table);
  ASSERT_EQ(synthetic.size(), 1u);
  EXPECT_FALSE(synthetic[0].model);
  EXPECT_EQ(synthetic[0].tokens.output, 20u);
  EXPECT_TRUE(synthetic[0].unpriced);

  const std::string recorded = with("\"requestId\"", "\"costUSD\":0.5,\"requestId\"");
  const std::string unknown = with("\"model\":\"m\"", "\"model\":\"other\"");
  struct Case {
    std::string line;
    CostMode mode;
    bool with_table;
    double cost;
    bool unpriced;
  };
  const std::vector<Case> cases = {
      {recorded, CostMode::Auto, true, 0.5, false},
      {recorded, CostMode::Calculate, true, 300e-6, false},
      {recorded, CostMode::Display, false, 0.5, false},
      // A cost beyond a double's range is none: priced, or 0 under display.
      {with("\"requestId\"", "\"costUSD\":1e400,\"requestId\""), CostMode::Auto, true, 300e-6, false},
      {with("\"requestId\"", "\"costUSD\":-1e400,\"requestId\""), CostMode::Display, false, 0.0, false},
      {std::string(kLine), CostMode::Display, false, 0.0, false},
      {unknown, CostMode::Calculate, true, 0.0, true},
      {unknown, CostMode::Auto, true, 0.0, true},
      {with("\"model\":\"m\"", "\"model\":\"other\"", recorded), CostMode::Auto, true, 0.5, false},
      {with(
           "\"input_tokens\":10,\"cache_creation_input_tokens\":30,\"cache_read_input_tokens\":40,\"output_tokens\":20",
           "\"input_tokens\":0,\"output_tokens\":0", unknown),
       CostMode::Calculate, true, 0.0, false},
  };
  for (const auto& c : cases) {
    auto got = parse_text(c.line + "\n", c.mode, c.with_table ? &table : nullptr);
    ASSERT_EQ(got.size(), 1u) << c.line;
    EXPECT_DOUBLE_EQ(got[0].cost, c.cost) << c.line;
    EXPECT_EQ(got[0].unpriced, c.unpriced) << c.line;
  }
}

TEST(ClaudeLines, FilesLinesAndZones) {
  // A spoilt line spoils only itself; a final line without a line feed counts.
  const std::string text = std::string(kLine) + "\n" + with("\"text\":\"hi\"", "\"text\":\"\xc3\"") + "\n\n" +
                           R"({"type":"user","message":{"content":"no usage"}})" + "\n" + with("msg_1", "msg_2");
  EXPECT_EQ(parse_text(text).size(), 2u);
  EXPECT_TRUE(parse_text("").empty());

  kit::TempDir dir;
  EXPECT_TRUE(parse_daily_usage_file(dir / "missing.jsonl", std::nullopt, CostMode::Auto, nullptr).empty());
  EXPECT_TRUE(parse_daily_usage_file(dir.path(), std::nullopt, CostMode::Auto, nullptr).empty());

  kit::write_file(dir / "late.jsonl", with("10:00:00.000Z", "23:30:00.000Z") + "\n");
  auto tokyo =
      parse_daily_usage_file(dir / "late.jsonl", cctz::fixed_time_zone(std::chrono::hours(9)), CostMode::Auto, nullptr);
  ASSERT_EQ(tokyo.size(), 1u);
  EXPECT_EQ(tokyo[0].date(), "2025-03-02");
  EXPECT_EQ(parse_daily_usage_file(dir / "late.jsonl", cctz::utc_time_zone(), CostMode::Auto, nullptr)[0].date(),
            "2025-03-01");
  kit::EnvGuard env;
  env.set("TZ", "Asia/Tokyo");
  auto system = parse_daily_usage_file(dir / "late.jsonl", std::nullopt, CostMode::Auto, nullptr);
  ASSERT_EQ(system.size(), 1u);
  EXPECT_EQ(system[0].date(), "2025-03-02");
}

}  // namespace
}  // namespace qm::claude::daily
