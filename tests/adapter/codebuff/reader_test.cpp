// The Codebuff reader over small chat files.
#include "adapter/codebuff/reader.h"

#include <gtest/gtest.h>

#include "date_utils.h"
#include "json/strict.h"
#include "kit/env.h"
#include "kit/reader.h"
#include "reader/files.h"

namespace qm::codebuff::parser {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({
      {"claude-sonnet-x", {}},  // priced at 0: the provider's name is tried
      {"anthropic/claude-sonnet-x", {.input = 3e-6, .output = 1.5e-5, .cache_read = 3e-7}},
      {"gpt-4o-mini", {.input = 1e-6, .output = 2e-6}},
  });
}

const std::string kChat = R"([
  {"role":"user","content":"hi"},
  {"variant":" ai ","id":"msg1","timestamp":1736937000,"metadata":{"model":"claude-sonnet-x","usage":{
    "inputTokens":0,"input_tokens":120,"outputTokens":12.5,"output_tokens":30,"cacheReadInputTokens":10,
    "promptTokensDetails":{"cachedTokens":40},"totalTokens":250}}},
  {"role":"assistant","credits":2.5,"metadata":{"usage":{"outputTokens":3},"runState":{"sessionState":{"mainAgentState":{"messageHistory":[
    {"role":"assistant","providerOptions":{"usage":{"inputTokens":1,"outputTokens":1},"codebuff":{"model":"old","usage":{"credits":5}}}},
    {"role":"user","providerOptions":{"usage":{"inputTokens":999}}},
    {"role":"assistant","providerOptions":{"usage":{"inputTokens":7},"codebuff":{"model":"gpt-4o-mini"}}}]}}}}},
  {"role":"agent","credits":1.5},
  "not a message"
])";

TEST(CodebuffReader, MessagesGatherTheirUsageIntoDailyRows) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("CODEBUFF_DATA_DIR", (t / "manicode").string());
  const fs::path file = t / "manicode/projects/myproj/chats/2025-01-15T10-30-45.123Z/chat-messages.json";
  kit::write_file(file, kChat);

  json::StrictParser parser;
  auto messages = parse_file(file, reader::Text(kChat).view(), 0, parser);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].record_id, "codebuff:manicode/myproj/2025-01-15T10-30-45.123Z:msg1");
  EXPECT_EQ(messages[0].tokens.input, 120u);  // zero is no value; nor is 12.5
  EXPECT_EQ(messages[0].tokens.output, 30u);
  EXPECT_EQ(messages[0].tokens.cache_read, 40u);  // the largest of the cached counts
  EXPECT_EQ(messages[0].reasoning, 60u);
  EXPECT_EQ(messages[0].provider, "anthropic");
  // The run state's last assistant entry wins; the earlier one only fills gaps; the
  // message's own metadata wins over both.
  EXPECT_EQ(messages[1].model, "gpt-4o-mini");
  EXPECT_EQ(messages[1].tokens.input, 7u);
  EXPECT_EQ(messages[1].tokens.output, 3u);
  EXPECT_EQ(messages[1].credits, 5.0);
  EXPECT_EQ(messages[1].timestamp_text, "2025-01-15T10:30:45.123Z");  // from the chat's name
  EXPECT_EQ(messages[1].record_id,
            "codebuff:manicode/myproj/2025-01-15T10-30-45.123Z:2025-01-15T10:30:45.123Z:gpt-4o-mini:2:7:3:0:0:0");
  EXPECT_EQ(messages[2].model, "codebuff-unknown");
  EXPECT_EQ(messages[2].credits, 1.5);

  auto table = prices();
  for (CostMode mode : {CostMode::Auto, CostMode::Display}) {  // the cost is computed in every mode
    auto got = load_codebuff_usage(kit::reader_options(mode), table);
    ASSERT_TRUE(got) << got.error();
    EXPECT_TRUE(got->detected);
    ASSERT_EQ(got->rows.size(), 1u);
    const UsageRow& row = got->rows[0];
    EXPECT_EQ(row.label, "2025-01-15");
    EXPECT_EQ(row.agent_id, "codebuff");
    EXPECT_EQ(row.input, 127u);
    EXPECT_EQ(row.output, 33u);
    EXPECT_EQ(row.total, 127u + 33u + 40u + 60u);
    EXPECT_EQ(kit::metadata_text(row.metadata), R"({"credits":6.5})");
    EXPECT_DOUBLE_EQ(row.cost, 120 * 3e-6 + 90 * 1.5e-5 + 40 * 3e-7 + 7 * 1e-6 + 3 * 2e-6);
  }
}

TEST(CodebuffReader, ALaterMessageOfTheSameIdAndChatReplacesTheEarlier) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("CODEBUFF_DATA_DIR", (t / "r1/manicode").string() + "," + (t / "r2/manicode/projects").string());
  auto chat = [](int input) {
    return R"([{"role":"assistant","id":"x","timestamp":1736937000,"metadata":{"usage":{"inputTokens":)" +
           std::to_string(input) + "}}}]";
  };
  kit::write_file(t / "r1/manicode/projects/p/chats/c/chat-messages.json", chat(1));
  kit::write_file(t / "r2/manicode/projects/p/chats/c/chat-messages.json", chat(5));   // same chat: replaces
  kit::write_file(t / "r2/manicode/projects/p/chats/d/chat-messages.json", chat(20));  // another chat
  // Without an id, the position tells repeated messages apart.
  const std::string no_id = R"({"role":"assistant","timestamp":1736937000,"metadata":{"usage":{"inputTokens":100}}})";
  kit::write_file(t / "r2/manicode/projects/p/chats/e/chat-messages.json", "[" + no_id + "," + no_id + "]");
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_codebuff_usage(kit::reader_options(), table)), 5u + 20u + 200u);
}

TEST(CodebuffReader, DocumentsElementsAndTimesPassedOver) {
  json::StrictParser parser;
  const std::string documents[] = {
      "not json",
      R"({"role":"assistant","metadata":{"usage":{"inputTokens":5}}})",
      R"([{"role":"user","metadata":{"usage":{"inputTokens":5}}}])",
      R"([{"variant":"human","role":"assistant","metadata":{"usage":{"inputTokens":5}}}])",
      R"([{"role":"assistant","metadata":{"usage":{"inputTokens":12.5,"outputTokens":-4,"credits":-1}}}])",
      R"([{"role":"assistant","metadata":{"runState":{"sessionState":{"mainAgentState":{"messageHistory":[{"role":"assistant","providerOptions":{}}]}}}}}])",
  };
  for (const auto& d : documents) {
    EXPECT_TRUE(parse_file("x/chat-messages.json", reader::Text(d).view(), 0, parser).empty()) << d;
  }
  struct Case {
    std::string value;
    std::optional<std::int64_t> ms;
  } times[] = {
      {R"("2025-01-15T10:00:00Z")", 1736935200000}, {"1736935200", 1736935200000}, {"9999999999", 9999999999000},
      {"10000000000", 10000000000},                 {"0", std::nullopt},          {"-5", std::nullopt},
      {"1736935200.5", std::nullopt},               {R"("soon")", std::nullopt},
  };
  for (const auto& c : times) EXPECT_EQ(timestamp_ms(parser.parse_copy(c.value)), c.ms) << c.value;
}

TEST(CodebuffReader, RootsVariableTheThreeDefaultsAndNoHome) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("CODEBUFF_DATA_DIR");
  auto chat = [](int input) {
    return R"([{"role":"assistant","timestamp":1736937000,"metadata":{"usage":{"inputTokens":)" + std::to_string(input) +
           "}}}]";
  };
  auto table = prices();
  auto none = load_codebuff_usage(kit::reader_options(), table);
  ASSERT_TRUE(none) << none.error();
  EXPECT_FALSE(none->detected);

  kit::write_file(home / ".config/manicode/projects/p/chats/c/chat-messages.json", chat(1));
  kit::write_file(home / ".config/manicode-dev/projects/p/chats/c/chat-messages.json", chat(2));
  kit::write_file(home / ".config/manicode-staging/projects/p/chats/c/chat-messages.json", chat(4));
  kit::write_file(home / ".config/manicode/projects/p/chats/c/other.json", chat(8));
  kit::write_file(home / "d1/projects/p/chats/c/chat-messages.json", chat(16));
  EXPECT_EQ(kit::input_tokens(load_codebuff_usage(kit::reader_options(), table)), 7u);
  kit::expect_agent_reported(home.path(), "codebuff");  // its row of the agent table
  // Listed roots replace the defaults; "projects" is appended unless named; repeats count once.
  env.set("CODEBUFF_DATA_DIR", (home / "d1").string() + " , " + (home / "d1/projects/").string() + ",," +
                                   (home / "gone").string());
  EXPECT_EQ(kit::input_tokens(load_codebuff_usage(kit::reader_options(), table)), 16u);

  kit::write_file(home / "d1/projects/p/chats/bad/chat-messages.json", "[\"\xff\"]");
  kit::expect_one_unread(load_codebuff_usage(kit::reader_options(), table), 16,
                         home / "d1/projects/p/chats/bad/chat-messages.json", "not valid UTF-8");

  env.unset("CODEBUFF_DATA_DIR");
  kit::unset_home(env);
  EXPECT_EQ(load_codebuff_usage(kit::reader_options(), table).error(), "home directory is not set");
}

TEST(CodebuffReader, TheProvidersNameIsTriedWhenTheModelCostsNothing) {
  using Names = std::vector<std::string>;
  struct Case {
    std::string model, provider;
    Names names;
  } cases[] = {
      {"GPT-4o", "openai", {"GPT-4o", "openai/GPT-4o"}},
      {"openai/gpt-4o", "openai", {"openai/gpt-4o"}},
      {"Anthropic.claude-x", "anthropic", {"Anthropic.claude-x", "anthropic/Anthropic.claude-x"}},
      {"o3-mini", "openai", {"o3-mini", "openai/o3-mini"}},
      {"gemini-2.5-pro", "google", {"gemini-2.5-pro", "google/gemini-2.5-pro"}},
      {"grok-4", "xai", {"grok-4", "xai/grok-4"}},
      {"openrouter/x", "openrouter", {"openrouter/x"}},
      {"qwen-max", "unknown", {"qwen-max"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(provider_of(c.model), c.provider) << c.model;
    EXPECT_EQ(price_candidates(c.model, c.provider), c.names) << c.model;
  }

  auto table = prices();
  reader::Prices p(&table);
  auto message = [](std::string model) {
    CodebuffMessage m;
    m.model = std::move(model);
    m.provider = provider_of(m.model);
    m.tokens.input = 1000;
    return m;
  };
  const auto zone = date_utils::report_zone("UTC");
  EXPECT_DOUBLE_EQ(build_usage_row(message("claude-sonnet-x"), p, zone).cost, 3e-3);  // 0, then anthropic/
  auto unknown = build_usage_row(message("nowhere"), p, zone);
  EXPECT_EQ(unknown.cost, 0.0);
  EXPECT_EQ(unknown.unpriced, "nowhere");
}

}  // namespace
}  // namespace qm::codebuff::parser
