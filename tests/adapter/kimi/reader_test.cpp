// The Kimi reader over small wire logs.
#include "adapter/kimi/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kit/env.h"
#include "kit/reader.h"
#include "reader/files.h"

namespace qm::kimi {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table(
      {{"moonshot/kimi-k2-turbo", {.input = 1e-6, .output = 4e-6, .cache_creation = 2e-6, .cache_read = 1e-7}}});
}

std::string update(std::string_view id, std::string_view counts, std::string_view time = "1748772000.5") {
  return std::string(R"({"timestamp":)") + std::string(time) +
         R"(,"message":{"type":"StatusUpdate","payload":{"message_id":")" + std::string(id) +
         R"(","token_usage":{)" + std::string(counts) + "}}}}";
}

TEST(KimiReader, StatusUpdatesBecomeDailyRowsOfTheConfiguredModel) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KIMI_DATA_DIR", t.path().string());
  kit::write_file(t / "config.json", R"({"model":" kimi-k2-turbo ","other":1})");
  const std::string counts = R"("input_other":100,"output":20,"input_cache_read":30,"input_cache_creation":0,"total":200)";
  kit::write_file(t / "sessions/w/sess1/wire.jsonl",
                  update("m1", counts) + "\r\n" +
                      update("m2", R"("input_other":100,"output":0,"input_cache_read":30,"input_cache_creation":5,"total":200)") +
                      "\n" R"({"type":"metadata","message":{"type":"StatusUpdate","payload":{"token_usage":{"output":9}}}})" "\n");
  auto table = prices();
  auto got = load_kimi_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.label, "2025-06-01");
  EXPECT_EQ(row.agent_id, "kimi");
  EXPECT_EQ(row.input, 200u);
  EXPECT_EQ(row.output, 20u + 65u);  // the first total's shortfall is reasoning; with no output it is output
  EXPECT_EQ(row.cache_creation, 5u);
  EXPECT_EQ(row.total, 200u + 85u + 5u + 60u + 50u);
  ASSERT_EQ(row.model_usages.size(), 1u);
  EXPECT_EQ(row.model_usages[0].model, "kimi-k2-turbo");
  EXPECT_EQ(row.model_usages[0].reasoning, 50u);
  // The reasoning tokens are not priced.
  EXPECT_DOUBLE_EQ(row.cost, 200 * 1e-6 + 85 * 4e-6 + 5 * 2e-6 + 60 * 1e-7);

  json::StrictParser parser;
  auto item = parse_wire_line(reader::Text(update("m1", counts)).view(), parser, "sess1", "m", 0);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->timestamp, 1748772000500);
  EXPECT_EQ(item->timestamp_text, "2025-06-01T10:00:00.500Z");
  EXPECT_EQ(item->message_id, "m1");
}

TEST(KimiReader, AnUpdateLoggedTwiceInOneSessionCountsOnce) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KIMI_DATA_DIR", t.path().string());
  const std::string one = update("m1", R"("input_other":1)") + "\n";
  kit::write_file(t / "sessions/x/s/wire.jsonl", one + one);
  kit::write_file(t / "sessions/y/s/wire.jsonl", one);       // the same session directory name
  kit::write_file(t / "sessions/z/other/wire.jsonl", one);   // another session
  kit::write_file(t / "sessions/x/s2/wire.jsonl", update("m1", R"("input_other":1)", "1748772001"));  // another time
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_kimi_usage(kit::reader_options(), table)), 3u);
}

// Equal updates are dropped as the file is read: a log of many copies of a few updates keeps
// the few, in the order first met.
TEST(KimiReader, EqualUpdatesOfAFileAreKeptOnce) {
  kit::TempDir t;
  std::string log;
  for (int i = 0; i < 500; ++i)
    for (const char* id : {"b", "a", "c"}) log += update(id, R"("input_other":1)") + "\n";
  log += update("a", R"("input_other":2)") + "\n";  // other counts: another update
  kit::write_file(t / "sessions/x/s/wire.jsonl", log);
  WireReader reader;
  auto wire = reader.read(t / "sessions/x/s/wire.jsonl", 0);
  ASSERT_TRUE(wire) << wire.error();
  EXPECT_EQ(wire->model, kDefaultModel);
  std::vector<std::uint64_t> inputs;
  for (const auto& u : wire->items) inputs.push_back(u.counts.input);
  EXPECT_EQ(inputs, (std::vector<std::uint64_t>{1, 1, 1, 2}));
}

TEST(KimiReader, FilesAndLinesPassedOver) {
  json::StrictParser parser;
  struct Case {
    std::string line;
    std::optional<std::int64_t> time;  // none: passed over
  } cases[] = {
      // Valid, but the quoted marker is not in its bytes: never parsed.
      {R"({"message":{"type":"Status\u0055pdate","payload":{"token_usage":{"output":1}}}})", std::nullopt},
      {R"({"message":{"type":"StatusUpdate x","payload":{"token_usage":{"output":1}}},"note":"StatusUpdate"})", std::nullopt},
      {R"({"message":{"type":"StatusUpdate","payload":{"usage":{"output":1}}},"x":"token_usage"})", std::nullopt},
      {update("m", R"("output":0,"input_other":-3,"total":"9")"), std::nullopt},
      {R"({"timestamp":"2025-06-01T10:00:00Z","message":{"type":"StatusUpdate","payload":{"token_usage":{"output":1}}}})", 42},
      {R"({"timestamp":1e300,"message":{"type":"StatusUpdate","payload":{"token_usage":{"output":1}}}})", 42},
      {R"({"timestamp":-1.5,"message":{"type":"StatusUpdate","payload":{"token_usage":{"output":1}}}})", -1500},
  };
  for (const auto& c : cases) {
    auto item = parse_wire_line(reader::Text(c.line).view(), parser, "s", "m", 42);
    EXPECT_EQ(item ? std::optional(item->timestamp) : std::nullopt, c.time) << c.line;
  }

  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KIMI_DATA_DIR", t.path().string());
  const std::string one = update("m1", R"("input_other":1)");
  kit::write_file(t / "sessions/wire.jsonl", one);
  kit::write_file(t / "sessions/a/wire.jsonl", one);
  kit::write_file(t / "sessions/a/b/c/wire.jsonl", one);
  kit::write_file(t / "sessions/a/b/other.jsonl", one);
  auto table = prices();
  auto got = load_kimi_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_FALSE(got->detected);

  // A line that is not UTF-8 is passed over like any other the reader cannot use.
  kit::write_file(t / "sessions/a/b/wire.jsonl", "\xff" + one + "\n" + one);
  got = load_kimi_usage(kit::reader_options(), table);
  EXPECT_EQ(kit::input_tokens(got), 1u);
  EXPECT_TRUE(got->unread.empty());
}

TEST(KimiReader, RootsVariableAndTheDefaultDirectory) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("KIMI_DATA_DIR");
  auto table = prices();
  auto none = load_kimi_usage(kit::reader_options(), table);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);

  kit::write_file(home / ".kimi/sessions/a/s/wire.jsonl", update("m1", R"("input_other":1)"));
  kit::write_file(home / "d1/sessions/a/s/wire.jsonl", update("m1", R"("input_other":2)"));
  kit::write_file(home / "d2/sessions/a/s/wire.jsonl", update("m1", R"("input_other":4)"));
  EXPECT_EQ(kit::input_tokens(load_kimi_usage(kit::reader_options(), table)), 1u);
  kit::expect_agent_reported(home.path(), "kimi");  // its row of the agent table
  env.set("KIMI_DATA_DIR", (home / "d1").string() + " , " + (home / "d1/").string() + ",," + (home / "gone").string() + "," +
                               (home / "d2").string());
  EXPECT_EQ(kit::input_tokens(load_kimi_usage(kit::reader_options(), table)), 6u);

  env.unset("KIMI_DATA_DIR");
  kit::unset_home(env);
  auto no_home = load_kimi_usage(kit::reader_options(), table);
  ASSERT_TRUE(no_home);
  EXPECT_FALSE(no_home->detected);
}

TEST(KimiReader, TheDefaultModelIsPricedByItsReleaseThenUnderCostModes) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(price_candidates("kimi-for-coding", kK26SinceMs - 1000),
            (Names{"moonshot/kimi-k2.5", "moonshot/kimi-for-coding", "kimi/kimi-for-coding", "kimi-for-coding"}));
  EXPECT_EQ(price_candidates("kimi-for-coding", kK26SinceMs)[0], "moonshot/kimi-k2.6");
  EXPECT_EQ(price_candidates("moonshot/x", 0), (Names{"moonshot/moonshot/x", "kimi/moonshot/x", "moonshot/x"}));

  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KIMI_DATA_DIR", t.path().string());  // no config.json: the default model
  kit::write_file(t / "sessions/a/s/wire.jsonl", update("m1", R"("input_other":1000)"));
  auto table = kit::price_table({{"moonshot/kimi-k2.5", {.input = 3e-6}}});
  struct Case {
    CostMode mode;
    double cost;
  } cases[] = {{CostMode::Auto, 3e-3}, {CostMode::Display, 0.0}};
  for (const auto& c : cases) {
    auto got = load_kimi_usage(kit::reader_options(c.mode), table);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_EQ(got->rows[0].model_usages[0].model, "kimi-for-coding");
    EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
  }
  table.prices.erase("moonshot/kimi-k2.5");
  auto unpriced = load_kimi_usage(kit::reader_options(), table);
  ASSERT_TRUE(unpriced);
  EXPECT_TRUE(unpriced->rows[0].model_usages[0].unpriced);
}

// Wire files cut anywhere, read by several workers, give what one worker reading them whole
// gives: an update repeated on both sides of a cut counts once, and so does one in another file
// of its session; the configured model holds for every part.
TEST(KimiReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KIMI_DATA_DIR", t.path().string());
  kit::write_file(t / "config.json", R"({"model":"kimi-k2-turbo"})");
  auto counts = [](int input) { return R"("input_other":)" + std::to_string(input) + R"(,"output":2,"input_cache_read":1)"; };
  const std::string first = update("m1", counts(100)), shared = update("m3", counts(300), "1748858400");
  kit::write_file(t / "sessions/w1/s1/wire.jsonl",
                  first + "\n" + R"({"type":"metadata","message":{"type":"StatusUpdate","payload":{"token_usage":{"output":9}}}})" "\n" +
                      update("m2", counts(101)) + "\r\n" + first + "\n" R"({"message":{"type":"TurnBegin"}})" "\n" + shared + "\n" +
                      update("m2", counts(101), "1748772001") + "\n" + first + "\n" +
                      R"({"message":{"type":"StatusUpdate","payload":{"token_usage":{"input_other":102}}}})");  // the file's time
  kit::write_file(t / "sessions/w2/s1/wire.jsonl", shared + "\n" + update("m4", counts(400)) + "\n");
  kit::write_file(t / "sessions/w1/s2/wire.jsonl", first + "\n" + first + "\n");  // another session
  auto table = prices();
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_kimi_usage(options, table, sizes);
  });
  EXPECT_EQ(kit::input_tokens(load_kimi_usage(kit::reader_options(), table)), 100u + 101 + 300 + 101 + 102 + 400 + 100);
}

}  // namespace
}  // namespace qm::kimi
