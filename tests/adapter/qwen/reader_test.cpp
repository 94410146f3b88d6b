// The Qwen reader over small chat logs.
#include "adapter/qwen/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/reader.h"
#include "reader/files.h"

namespace qm::qwen::parser {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({{"qwen3-coder-plus", {.input = 1e-6, .output = 2e-6, .cache_read = 1e-7}}});
}

void set_mtime(const fs::path& path, std::int64_t seconds) {
  timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

const std::string kReply =
    R"({"type":"assistant","sessionId":" s1 ","model":"qwen3-coder-plus","timestamp":"2025-06-01T10:00:00Z","usageMetadata":{"promptTokenCount":100,"candidatesTokenCount":20,"cachedContentTokenCount":30,"thoughtsTokenCount":50,"totalTokenCount":250}})";

TEST(QwenReader, AssistantLinesBecomeDailyRows) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  const fs::path chat = t / "projects/myproj/chats/chat1.jsonl";
  kit::write_file(chat, kReply + "\r\n" +
                            R"({"type":"assistant","timestamp":"not a time","usageMetadata":{"promptTokenCount":7}})" "\n");
  set_mtime(chat, 1748779200);  // 2025-06-01T12:00:00Z

  json::StrictParser parser;
  auto items = parse_file(chat, reader::Text(kit::read_file(chat)).view(), 1748779200000, parser);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].session_id, "s1");
  EXPECT_EQ(items[0].timestamp_text, "2025-06-01T10:00:00Z");
  EXPECT_EQ(items[0].project, "myproj");
  EXPECT_EQ(items[0].input, 100u);  // the total does not say the cached tokens are in it
  EXPECT_EQ(items[0].cache_read, 30u);
  EXPECT_EQ(items[0].reasoning, 100u);  // the total's shortfall of 50 joins the thoughts
  EXPECT_EQ(items[1].session_id, "myproj-chat1");
  EXPECT_EQ(items[1].model, "unknown");
  EXPECT_EQ(items[1].timestamp_text, "2025-06-01T12:00:00.000Z");  // the file's time

  auto table = prices();
  auto got = load_qwen_usage(kit::reader_options(), &table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.label, "2025-06-01");
  EXPECT_EQ(row.agent_id, "qwen");
  EXPECT_EQ(row.input, 107u);
  EXPECT_EQ(row.output, 20u);
  EXPECT_EQ(row.total, 107u + 20u + 30u + 100u);
  ASSERT_EQ(row.model_usages.size(), 2u);
  EXPECT_DOUBLE_EQ(row.model_usages[0].cost, 100 * 1e-6 + 120 * 2e-6 + 30 * 1e-7);  // reasoning priced as output
  EXPECT_TRUE(row.model_usages[1].unpriced);

  // A file time before 1970 costs a debug line and falls back to the current time.
  set_mtime(chat, -5);
  auto debug = kit::reader_options();
  debug.common.debug = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(debug, &table)), 107u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to read Qwen chat file timestamp for " + chat.string() + ": modification time is before 1970\n");
}

// The prompt count holds the cached tokens when the line's total says so, and only then.
TEST(QwenReader, CachedTokensCountOnceWhenThePromptHoldsThem) {
  struct Case {
    std::string usage;
    std::uint64_t input, cache_read, output, reasoning;
  };
  const std::vector<Case> cases = {
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50,"totalTokenCount":1050)",
       200, 800, 50, 0},
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50,"thoughtsTokenCount":20,)"
       R"("totalTokenCount":1070)",
       200, 800, 50, 20},
      {R"("promptTokenCount":100,"cachedContentTokenCount":300,"candidatesTokenCount":5,"totalTokenCount":105)", 0, 300,
       5, 0},
      // Otherwise the counts stand, and a total above them is reconciled as before.
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50,"totalTokenCount":1850)",
       1000, 800, 50, 0},
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50)", 1000, 800, 50, 0},
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50,"totalTokenCount":1050.0)",
       1000, 800, 50, 0},
      {R"("promptTokenCount":1000,"cachedContentTokenCount":800,"candidatesTokenCount":50,"totalTokenCount":1900)",
       1000, 800, 50, 50},
  };
  json::StrictParser parser;
  for (const Case& c : cases) {
    const std::string line = R"({"type":"assistant","model":"qwen3-coder-plus","timestamp":"2025-06-01T10:00:00Z",)"
                             R"("usageMetadata":{)" + c.usage + "}}";
    auto items = parse_file("projects/p/chats/c.jsonl", reader::Text(line).view(), 0, parser);
    ASSERT_EQ(items.size(), 1u) << c.usage;
    EXPECT_EQ(items[0].input, c.input) << c.usage;
    EXPECT_EQ(items[0].cache_read, c.cache_read) << c.usage;
    EXPECT_EQ(items[0].output, c.output) << c.usage;
    EXPECT_EQ(items[0].reasoning, c.reasoning) << c.usage;
  }

  // Priced as the line's own total says.
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  kit::write_file(t / "projects/p/chats/c.jsonl",
                  R"({"type":"assistant","model":"qwen3-coder-plus","timestamp":"2025-06-01T10:00:00Z","usageMetadata":{)" +
                      cases[0].usage + "}}\n");
  auto table = prices();
  auto got = load_qwen_usage(kit::reader_options(), &table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].total, 1050u);
  EXPECT_DOUBLE_EQ(got->rows[0].cost, 200 * 1e-6 + 50 * 2e-6 + 800 * 1e-7);
}

// The reader does not parse lines that cannot hold a reply, and reads a file in chunks: what
// it keeps is what every line parsed gives, each but the first of equal replies dropped. A
// name spelt with escapes is the same name.
TEST(QwenReader, PassingOverLinesAndReadingInChunksChangeNothing) {
  const std::string text = kReply + "\n" + R"({"type":"user","message":"\u00e9\u001b[1m"})" "\n" +
                           R"({"type":"assistant","usage\u004detadata":{"promptTokenCount":3}})" "\r\n" +
                           R"({"type":"\u0061ssistant","usageMetadata":{"promptTokenCount":5}})" "\n" + kReply + "\n" +
                           R"({"type":"assistant","timestamp":"x","usageMetadata":{"promptTokenCount":7}})";
  json::StrictParser parser;
  const auto all = parse_file("projects/p/chats/c.jsonl", reader::Text(text).view(), 1748779200000, parser);
  ASSERT_EQ(all.size(), 5u);
  kit::TempDir t;
  kit::write_file(t / "projects/p/chats/c.jsonl", text);
  for (std::size_t chunk : {1, 7, 1 << 18}) {
    ChatReader reader(chunk);
    auto chat = reader.read(t / "projects/p/chats/c.jsonl", 1748779200000);
    ASSERT_TRUE(chat) << chat.error();
    std::vector<std::pair<std::uint64_t, std::int64_t>> got;
    for (const auto& r : chat->items) got.emplace_back(r.counts.input, r.time_ms);
    EXPECT_EQ(got, (std::vector<std::pair<std::uint64_t, std::int64_t>>{
                       {all[0].input, all[0].timestamp}, {3, 1748779200000}, {5, 1748779200000}, {7, 1748779200000}}))
        << chunk;
  }
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 100u + 3u + 5u + 7u);
}

TEST(QwenReader, AReplyRepeatedAcrossFilesCountsOnce) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  std::string later = kReply;
  later.replace(later.find("10:00:00Z"), 9, "10:00:01Z");
  kit::write_file(t / "projects/p/chats/a.jsonl", kReply + "\n" + kReply + "\n");
  kit::write_file(t / "projects/q/chats/b.jsonl", kReply + "\n" + later + "\n");  // the same session id
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 200u);
}

TEST(QwenReader, LinesAndFilesPassedOver) {
  const std::string lines[] = {
      R"({"type":"user","usageMetadata":{"promptTokenCount":5}})",
      R"({"type":"assistant"})",
      R"({"type":"assistant","usageMetadata":{"promptTokenCount":12.0}})",
      R"({"type":"assistant","usageMetadata":{"promptTokenCount":"5","candidatesTokenCount":-1}})",
      R"({"type":"assistant","usageMetadata":[5]})",
      "{\"type\":\"assistant\",\"model\":\"\xff\",\"usageMetadata\":{\"promptTokenCount\":5}}",
      R"(["type","assistant"])",
  };
  json::StrictParser parser;
  for (const auto& line : lines) {
    EXPECT_TRUE(parse_file("p/chats/c.jsonl", reader::Text(line).view(), 0, parser).empty()) << line;
  }
  struct Case {
    const char* relative;
    bool chat;
  } files[] = {
      {"myproj/chats/c.jsonl", true}, {"myproj/chats/sub/c.jsonl", false}, {"myproj/logs/c.jsonl", false},
      {"chats/c.jsonl", false},       {"a/myproj/chats/c.jsonl", false},
  };
  for (const auto& f : files) EXPECT_EQ(is_chat_file("/d/projects", fs::path("/d/projects") / f.relative), f.chat) << f.relative;

  // A line that is not UTF-8 is passed over; the file is still read.
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  kit::write_file(t / "projects/p/chats/c.jsonl", lines[5] + "\n" + kReply + "\n");
  kit::write_file(t / "projects/p/chats/sub/c.jsonl", kReply + "\n");
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 100u);
}

TEST(QwenReader, RootsVariableDefaultDirectoryAndDetection) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("QWEN_DATA_DIR");
  auto table = prices();
  auto none = load_qwen_usage(kit::reader_options(), &table);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);

  kit::write_file(home / ".qwen/projects/p/chats/a.jsonl", kReply + "\n");
  kit::write_file(home / "d1/projects/p/chats/a.jsonl", kReply + "\n");
  std::string other = kReply;
  other.replace(other.find(" s1 "), 4, "s2");
  kit::write_file(home / "d2/projects/p/chats/a.jsonl", other + "\n");
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 100u);
  kit::expect_agent_reported(home.path(), "qwen");  // its row of the agent table
  // Listed roots replace the default; a root named twice or missing counts once or not at all.
  env.set("QWEN_DATA_DIR", (home / "d1").string() + " , " + (home / "d1/").string() + ",," + (home / "gone").string() + "," +
                               (home / "d2").string());
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 200u);

  // Chat files without usage: no rows, but the agent is in use.
  env.set("QWEN_DATA_DIR", (home / "d3").string());
  kit::write_file(home / "d3/projects/p/chats/a.jsonl", R"({"type":"user"})" "\n");
  auto idle = load_qwen_usage(kit::reader_options(), &table);
  ASSERT_TRUE(idle);
  EXPECT_TRUE(idle->rows.empty());
  EXPECT_TRUE(idle->detected);

  env.unset("QWEN_DATA_DIR");
  kit::unset_home(env);
  auto no_home = load_qwen_usage(kit::reader_options(), &table);
  ASSERT_TRUE(no_home);
  EXPECT_FALSE(no_home->detected);
}

TEST(QwenReader, PricedWithATableOfItsOwnUnlessDisplayed) {
  EXPECT_EQ(price_candidates("m"), (std::vector<std::string>{"m", "qwen/m", "alibaba/m"}));

  kit::TempDir t;
  kit::EnvGuard env;
  kit::unset_proxy_variables(env);
  kit::HttpServer server;
  kit::RefusingPort closed;
  server.on("/prices.json", kit::ScriptedResponse{
                                .body = R"({"qwen/served-model":{"input_cost_per_token":0.5,"output_cost_per_token":0.5}})"});
  env.set("QUILLIMARE_LITELLM_URL", server.url("/prices.json"));
  env.set("QUILLIMARE_MODELS_DEV_URL", closed.url("/api.json"));
  const fs::path with_chats = t / "with-chats", without = t / "without";
  kit::write_file(with_chats / "projects/p/chats/a.jsonl",
                  R"({"type":"assistant","model":"served-model","timestamp":"2025-06-01T10:00:00Z","usageMetadata":{"promptTokenCount":2}})" "\n");
  // The process fetches the list once, for the first table it loads.
  struct Case {
    const fs::path& root;
    CostMode mode;
    std::size_t rows;
    double cost;
    std::size_t downloads;
  } cases[] = {
      {with_chats, CostMode::Display, 1, 0.0, 0},  // no table at all
      {without, CostMode::Calculate, 0, 0.0, 1},   // a table, chat files or not
      {with_chats, CostMode::Calculate, 1, 1.0, 1},
  };
  for (const auto& c : cases) {
    env.set("QWEN_DATA_DIR", c.root.string());
    auto o = kit::reader_options(c.mode);
    o.common.offline = false;
    auto got = load_qwen_usage(o, pricing::PricingTable{});
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), c.rows);
    if (c.rows) {
      EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
      EXPECT_FALSE(got->rows[0].model_usages[0].unpriced);
    }
    EXPECT_EQ(server.requests().size(), c.downloads);
  }
}

// Files cut anywhere, read by several workers, give what one worker reading them whole gives:
// a reply repeated on both sides of a cut counts once, and so does one copied into another
// file of its session; replies without a time take the file's, in every part.
TEST(QwenReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("QWEN_DATA_DIR", t.path().string());
  auto reply = [](std::string_view session, std::string_view time, int prompt, std::string_view model = "qwen3-coder-plus") {
    std::string line = R"({"type":"assistant",)";
    if (!session.empty()) line += R"("sessionId":")" + std::string(session) + R"(",)";
    if (!time.empty()) line += R"("timestamp":")" + std::string(time) + R"(",)";
    return line + R"("model":")" + std::string(model) + R"(","usageMetadata":{"promptTokenCount":)" + std::to_string(prompt) +
           R"(,"candidatesTokenCount":2}})" "\n";
  };
  const std::string early = reply("s1", "2025-06-01T10:00:00Z", 100), shared = reply("s2", "2025-06-02T10:00:00Z", 300);
  kit::write_file(t / "projects/p/chats/a.jsonl",
                  early + R"({"type":"user","message":"between"})" "\n" + reply("s1", "2025-06-01T10:00:01Z", 101) +
                      reply("", "", 102) + shared + early + reply("", "", 102) + reply("s1", "2025-06-01T10:00:00Z", 100, "other") +
                      early + "\r\n" + reply("s1", "2025-06-02T10:00:00Z", 103));
  kit::write_file(t / "projects/q/chats/b.jsonl", reply("s3", "2025-06-02T10:00:00Z", 400) + shared);
  set_mtime(t / "projects/p/chats/a.jsonl", 1748779200);
  auto table = prices();
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_qwen_usage(options, &table, sizes);
  });
  EXPECT_EQ(kit::input_tokens(load_qwen_usage(kit::reader_options(), &table)), 100u + 101 + 102 + 300 + 100 + 103 + 400);
}

}  // namespace
}  // namespace qm::qwen::parser
