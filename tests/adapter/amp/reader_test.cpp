// The Amp reader over small thread documents.
#include "adapter/amp/reader.h"

#include <gtest/gtest.h>

#include "json/parser.h"
#include "kit/env.h"
#include "kit/reader.h"
#include "kit/snapshot.h"

namespace qm::amp {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({{"claude-x", {.input = 1e-6, .output = 2e-6, .cache_creation = 3e-6, .cache_read = 1e-7}}});
}

std::optional<Thread> parse(const std::string& text) {
  json::StrictParser parser;
  std::string padded = text + std::string(json::kPadding, '\0');
  return parse_thread(std::string_view(padded.data(), text.size()), parser);
}

// A thread with a usage ledger: the messages lend their cache counts to the events.
const std::string kLedgerThread = R"({"id":" T-1 ","messages":[
  {"role":"assistant","messageId":1,"usage":{"cacheCreationInputTokens":1,"cacheReadInputTokens":1}},
  {"role":"assistant","messageId":1,"usage":{"cacheCreationInputTokens":10,"cacheReadInputTokens":20}},
  {"role":"assistant","messageId":2},
  {"role":"user","messageId":3,"usage":{"cacheReadInputTokens":99}},
  {"role":"assistant","messageId":4,"usage":{"inputTokens":500,"model":"claude-x","timestamp":"2025-01-01T00:00:00Z"}}],
 "usageLedger":{"events":[
  {"id":"e1","timestamp":"2025-01-01T01:00:00+01:00","model":"claude-x","credits":0.5,"toMessageId":1,
   "tokens":{"input":100,"output":50,"total":200}},
  {"id":"e2","timestamp":"2025-01-02T10:00:00Z","model":"claude-x","credits":1.5,"toMessageId":2,"tokens":{"input":7}},
  {"timestamp":"2025-01-02T10:00:00Z","model":"claude-x","toMessageId":"1","tokens":{"output":3}},
  {"timestamp":"2025-01-02T10:00:00.000000Z","model":"claude-x","tokens":{"input":1}},
  {"timestamp":"2025-01-02T10:00:00Z","tokens":{"input":1}},
  {"timestamp":"2025-01-02T10:00:00Z","model":"claude-x"},
  {"model":"claude-x","tokens":{"input":1}}]}})";

TEST(AmpReader, LedgerEventsWithTheirMessagesCacheCounts) {
  auto thread = parse(kLedgerThread);
  ASSERT_TRUE(thread);
  EXPECT_EQ(thread->id, "T-1");
  ASSERT_EQ(thread->usages.size(), 3u);  // the events only; a message of its own gives nothing
  const AmpUsage& e1 = thread->usages[0];
  EXPECT_EQ(e1.timestamp_text, "2025-01-01T01:00:00+01:00");  // as written, the instant parsed
  EXPECT_EQ(e1.time, 1735689600000);
  EXPECT_EQ(e1.tokens.cache_creation, 10u);  // the later message with that id
  EXPECT_EQ(e1.tokens.cache_read, 20u);
  EXPECT_EQ(e1.reasoning, 20u);  // 200 - (100 + 50 + 10 + 20), output being non-zero
  EXPECT_EQ(e1.record_id, "e1");
  EXPECT_EQ(e1.credits, 0.5);
  EXPECT_EQ(thread->usages[1].tokens.cache_read, 0u);  // its message has no usage
  EXPECT_EQ(thread->usages[2].tokens.cache_read, 0u);  // a string id matches nothing
  EXPECT_EQ(thread->usages[2].record_id, std::nullopt);

  kit::TempDir t;
  kit::EnvGuard env;
  env.set("AMP_DATA_DIR", t.path().string());
  kit::write_file(t / "threads/T-1.json", kLedgerThread);
  auto table = prices();
  auto got = load_amp_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 2u);
  const UsageRow& day1 = got->rows[0];
  EXPECT_EQ(day1.label, "2025-01-01");
  // The reasoning tokens are priced as output and shown apart.
  EXPECT_DOUBLE_EQ(day1.cost, 100 * 1e-6 + 70 * 2e-6 + 10 * 3e-6 + 20 * 1e-7);
  EXPECT_EQ(day1.model_usages[0].reasoning, 20u);
  EXPECT_EQ(kit::metadata_text(day1.metadata), R"({"credits":0.5})");
  EXPECT_EQ(kit::metadata_text(got->rows[1].metadata), R"({"credits":1.5})");
}

TEST(AmpReader, MessagesWhenThereIsNoLedger) {
  auto thread = parse(R"({"id":"T-2","usageLedger":{"events":{}},"messages":[
    {"role":"assistant","messageId":7,"model":"m","timestamp":"2025-01-03T00:00:00Z",
     "usage":{"inputTokens":1,"outputTokens":2,"cacheCreationInputTokens":3,"cacheReadInputTokens":4,"credits":2}},
    {"role":"assistant","messageId":"x-8","usage":{"model":"u","timestamp":"2025-01-03T00:00:00Z","outputTokens":0,"totalTokens":9}},
    {"role":"assistant","messageId":9,"usage":{"timestamp":"2025-01-03T00:00:00Z","inputTokens":1}},
    {"role":"assistant","timestamp":"2025-01-03T00:00:00Z","model":"m","usage":{"timestamp":"later","inputTokens":1}},
    {"role":"assistant","timestamp":"2025-01-03T00:00:00Z","model":"m","usage":{"inputTokens":0}},
    {"role":"user","timestamp":"2025-01-03T00:00:00Z","model":"m","usage":{"inputTokens":1}}]})");
  ASSERT_TRUE(thread);
  ASSERT_EQ(thread->usages.size(), 2u);
  EXPECT_EQ(thread->usages[0].record_id, "7");
  EXPECT_EQ(thread->usages[0].model, "m");
  EXPECT_EQ(thread->usages[0].credits, 2.0);
  EXPECT_EQ(thread->usages[0].tokens.cache_read, 4u);
  EXPECT_EQ(thread->usages[1].record_id, "x-8");
  EXPECT_EQ(thread->usages[1].model, "u");
  EXPECT_EQ(thread->usages[1].tokens.output, 9u);  // the shortfall becomes the output

  for (auto text : {"not json", "[1]", R"({"id":" ","messages":[]})", R"({"id":5})"})
    EXPECT_FALSE(parse(text)) << text;
  EXPECT_TRUE(parse(R"({"id":"T","usageLedger":{"events":[]},"messages":[{"role":"assistant","model":"m",
    "timestamp":"2025-01-03T00:00:00Z","usage":{"inputTokens":1}}]})")->usages.empty());
}

TEST(AmpReader, AThreadInTwoPlacesCountsOnce) {
  kit::TempDir t;
  kit::EnvGuard env;
  const std::string thread = R"({"id":"T-1","messages":[{"role":"assistant","model":"claude-x",
    "timestamp":"2025-01-03T00:00:00Z","usage":{"inputTokens":5}}]})";
  kit::write_file(t / "a/threads/T-1.json", thread);
  kit::write_file(t / "a/threads/old/copy.json", thread);
  kit::write_file(t / "b/threads/T-1.json", thread);
  kit::write_file(t / "b/threads/T-2.json", R"({"id":"T-2","messages":[{"role":"assistant","model":"claude-x",
    "timestamp":"2025-01-03T00:00:00Z","usage":{"inputTokens":1}}]})");
  fs::create_directory_symlink(t / "a", t / "link");
  env.set("AMP_DATA_DIR", (t / "a").string() + "," + (t / "link").string() + "," + (t / "b").string());
  auto table = prices();
  auto got = load_amp_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].input, 6u);
}

// Copies of one thread that differ: every usage of every copy counts once, whichever copy is
// read first; by its id, or without one by all that it records.
TEST(AmpReader, DifferingCopiesOfAThreadCountEachUsageOnce) {
  auto message = [](std::string id, int input) {
    return R"({"role":"assistant","model":"claude-x","timestamp":"2025-01-03T00:00:00Z")" + id +
           R"(,"usage":{"inputTokens":)" + std::to_string(input) + "}}";
  };
  auto messages = [](std::vector<std::string> list) {
    std::string out = R"({"id":"T-x","messages":[)";
    for (std::size_t i = 0; i < list.size(); ++i) out += (i ? "," : "") + list[i];
    return out + "]}";
  };
  auto event = [](std::string id, int input) {
    return R"({"timestamp":"2025-01-03T00:00:00Z","model":"claude-x")" + id + R"(,"tokens":{"input":)" +
           std::to_string(input) + "}}";
  };
  auto ledger = [&](std::vector<std::string> events) {
    std::string out = R"({"id":"T-x","messages":[)" + message(R"(,"messageId":9)", 7) + R"(],"usageLedger":{"events":[)";
    for (std::size_t i = 0; i < events.size(); ++i) out += (i ? "," : "") + events[i];
    return out + "]}}";
  };
  struct Case {
    std::string name, older, newer;
    std::uint64_t input;
  };
  const std::vector<Case> cases = {
      {"message ids", messages({message(R"(,"messageId":1)", 1000)}),
       messages({message(R"(,"messageId":1)", 1000), message(R"(,"messageId":2)", 5500)}), 6500},
      {"message ids as text", messages({message(R"(,"messageId":"a")", 1000)}),
       messages({message(R"(,"messageId":"a")", 1000), message(R"(,"messageId":"b")", 5500)}), 6500},
      {"ledger entry ids", ledger({event(R"(,"id":"e1")", 1000)}),
       ledger({event(R"(,"id":"e1")", 1000), event(R"(,"id":"e2")", 5500)}), 6500},
      {"no ids: by what they record", messages({message("", 1000)}),
       messages({message("", 1000), message("", 5500)}), 6500},
      // Within one copy every usage counts, the same twice too; a copy adds what it holds more.
      {"no ids, twice in a copy", messages({message("", 1000), message("", 1000)}),
       messages({message("", 1000), message("", 1000), message("", 1000)}), 3000},
      {"a ledger in one copy: from the ledgers only", messages({message(R"(,"messageId":1)", 1000)}),
       ledger({event(R"(,"id":"e1")", 1000), event(R"(,"id":"e2")", 5500)}), 6500},
  };
  auto table = prices();
  for (const Case& c : cases) {
    kit::TempDir t;
    kit::EnvGuard env;
    kit::write_file(t / "a/threads/T-x.json", c.older);
    kit::write_file(t / "b/threads/T-x.json", c.newer);
    for (std::string order : {"a,b", "b,a"}) {
      env.set("AMP_DATA_DIR", (t / std::string(1, order[0])).string() + "," + (t / std::string(1, order[2])).string());
      EXPECT_EQ(kit::input_tokens(load_amp_usage(kit::reader_options(), table)), c.input) << c.name << " " << order;
    }
  }
}

TEST(AmpReader, CostModesAndUnpricedModels) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("AMP_DATA_DIR", t.path().string());
  kit::write_file(t / "threads/T.json", R"({"id":"T","usageLedger":{"events":[
    {"timestamp":"2025-01-03T00:00:00Z","model":"claude-x","credits":3,"tokens":{"input":1000}},
    {"timestamp":"2025-01-03T00:00:00Z","model":"nowhere","tokens":{"input":1}}]}})");
  auto table = prices();
  kit::expect_computed_cost_modes([&](CostMode mode) { return load_amp_usage(kit::reader_options(mode), table); },
                                  1000e-6);
  for (CostMode mode : {CostMode::Auto, CostMode::Display})  // credits are carried in every mode
    EXPECT_EQ(kit::metadata_text(load_amp_usage(kit::reader_options(mode), table)->rows[0].metadata), R"({"credits":3})");

  // Credits beyond a double's range are none: the day's other credits stand.
  kit::write_file(t / "threads/U.json", R"({"id":"U","usageLedger":{"events":[
    {"timestamp":"2025-01-03T01:00:00Z","model":"claude-x","credits":1e400,"tokens":{"input":1}}]}})");
  EXPECT_EQ(kit::metadata_text(load_amp_usage(kit::reader_options(CostMode::Auto), table)->rows[0].metadata),
            R"({"credits":3})");
}

TEST(AmpReader, DataDirectoryHomeAndUnreadableThreads) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("AMP_DATA_DIR");
  kit::write_file(home / ".local/share/amp/threads/T.json", R"({"id":"T","messages":[{"role":"assistant",
    "model":"claude-x","timestamp":"2025-01-03T00:00:00Z","usage":{"inputTokens":5}}]})");
  kit::write_file(home / ".local/share/amp/threads/broken.json", "{\"id\":");
  kit::write_file(home / ".local/share/amp/other/T.json", "\xff");  // not below threads
  auto table = prices();
  auto got = load_amp_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  {  // the agent table's amp row, as a user runs it
    kit::Snapshot before(home.path());
    kit::expect_agent_reported(home.path(), "amp");
    EXPECT_TRUE(before.unchanged());
  }
  env.set("AMP_DATA_DIR", ", ");  // set, naming nothing
  EXPECT_FALSE(load_amp_usage(kit::reader_options(), table)->detected);

  env.unset("AMP_DATA_DIR");
  kit::write_file(home / ".local/share/amp/threads/bad.json", "{\"id\":\"\xc3\"}");
  auto bad = load_amp_usage(kit::reader_options(), table);
  ASSERT_TRUE(bad) << bad.error();
  EXPECT_EQ(bad->rows, got->rows);
  EXPECT_EQ(bad->unread, (UnreadFiles{1, (home / ".local/share/amp/threads/bad.json").string(), "not valid UTF-8"}));
  kit::unset_home(env);
  EXPECT_EQ(load_amp_usage(kit::reader_options(), table).error(), "home directory is not set");
}

}  // namespace
}  // namespace qm::amp
