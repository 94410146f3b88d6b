// The Gemini CLI reader over small session files.
#include "adapter/gemini/reader.h"

#include <gtest/gtest.h>

#include <tuple>

#include "kit/env.h"
#include "json/strict.h"
#include "kit/reader.h"
#include "reader/files.h"

namespace qm::gemini::parser {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({
      {"gemini/gemini-pro", {.input = 1e-6, .output = 2e-6, .cache_read = 1e-7}},
      {"vertex_ai/gemini-pro", {.input = 9.0, .output = 9.0, .cache_read = 9.0}},  // later in the candidate list: never used
      {"flash", {.input = 1e-6, .output = 1e-6, .cache_read = 1e-6}},
  });
}

std::vector<GeminiMessageUsage> parse(const std::string& name, const std::string& text, std::int64_t file_time = 7) {
  json::StrictParser parser;
  return parse_document(name, reader::Text(text).view(), file_time, parser);
}

// A log's items as (model, input, time), read in parts that begin at the given lines.
using Items = std::vector<std::tuple<std::string, std::uint64_t, std::int64_t>>;
Items log_items(const std::string& text, std::vector<std::size_t> cuts = {}) {
  json::StrictParser parser;
  std::vector<std::string> lines;
  reader::for_each_line(text, [&](std::string_view line) { lines.emplace_back(line); });
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(lines.size());
  std::optional<LogJoin> join;
  for (std::size_t p = 0; p + 1 < cuts.size(); ++p) {
    FileItems part;
    LogFold fold(part, 7, p == 0);
    for (std::size_t i = cuts[p]; i < cuts[p + 1]; ++i) fold.line(reader::Text(lines[i]).view(), parser);
    if (join)
      join->add(PartItems{std::move(part), fold.current()});
    else
      join.emplace(PartItems{std::move(part), fold.current()});
  }
  const FileItems whole = join->take();
  Items out;
  for (const auto& r : whole.replies) out.emplace_back(whole.models[r.model], r.counts.input, r.time_ms);
  return out;
}

const std::string kSession = R"({"sessionId":" s-1 ","startTime":"2025-05-01T10:00:00Z","messages":[
  {"type":"user","content":"hi","tokens":{"input":5}},
  {"type":"gemini","id":"m1","model":"gemini-pro","timestamp":"2025-05-01T10:00:05Z",
   "tokens":{"input":1000,"output":200,"cached":300,"thoughts":50,"total":1250}},
  {"type":"gemini","id":"m2","model":"gemini-pro",
   "tokens":{"input":1000,"output":200,"cached":300,"thoughts":50,"total":1550}},
  {"type":"gemini","id":"m3","tokens":{"input":9}},
  {"type":"gemini","id":"m4","model":"flash","timestamp":"2025-05-02T00:00:00.000000Z","tokens":{"input":10}}
]})";

TEST(GeminiReader, SessionDocumentsBecomeDailyRows) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("GEMINI_DATA_DIR", (t / "data").string());
  kit::write_file(t / "data/h1/chats/session-a.json", kSession);

  auto table = prices();
  auto got = load_gemini_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);  // m4's time has six fraction digits: the session's start instead
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.label, "2025-05-01");
  EXPECT_EQ(row.agent_id, "gemini");
  EXPECT_EQ(row.input, 700u + 1000u + 10u);  // m1's total holds the cached part; m2's does not
  EXPECT_EQ(row.output, 400u);
  EXPECT_EQ(row.cache_read, 600u);
  EXPECT_EQ(row.total, 1250u + 1550u + 10u);
  ASSERT_EQ(row.model_usages.size(), 2u);
  const ModelUsage& pro = row.model_usages[0];
  EXPECT_EQ(pro.model, "gemini-pro");
  EXPECT_EQ(pro.reasoning, 100u);
  // Priced as gemini/gemini-pro, output with the reasoning tokens.
  EXPECT_DOUBLE_EQ(pro.cost, (700 + 1000) * 1e-6 + (250 + 250) * 2e-6 + 600 * 1e-7);
}

// One number out of a double's range costs only what the member's rule says, not the document.
TEST(GeminiReader, ANumberBeyondADoublesRangeKeepsTheDocument) {
  auto items = parse("s.json", R"({"sessionId":"s","messages":[
    {"type":"gemini","id":"m1","model":"flash","tokens":{"input":10,"output":2}},
    {"type":"gemini","id":"m2","model":"flash","tokens":{"input":5,"tool":1e400,"total":-1e400}}]})");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].counts.input, 10u);
  EXPECT_EQ(items[1].counts.input, 5u);
  EXPECT_EQ(items[1].total, 5u);
}

// Two roots that name one directory (one of them through a symbolic link) read it once.
TEST(GeminiReader, ADirectoryReachedThroughTwoRootsCountsOnce) {
  kit::TempDir t;
  kit::EnvGuard env;
  kit::write_file(t / "data/h/chats/s.json", R"({"messages":[{"type":"gemini","model":"flash",
    "timestamp":"2025-05-01T10:00:00Z","tokens":{"input":1000}}]})");
  fs::create_directory_symlink(t / "data", t / "link");
  auto table = prices();
  for (std::string roots : {(t / "data").string() + "," + (t / "link").string(),
                            (t / "link").string() + "," + (t / "data/h/..").string()}) {
    env.set("GEMINI_DATA_DIR", roots);
    EXPECT_EQ(kit::input_tokens(load_gemini_usage(kit::reader_options(), table)), 1000u) << roots;
  }
}

TEST(GeminiReader, RepeatedIdsInALogKeepTheLaterLineInTheEarlierPlace) {
  const std::string log = R"({"sessionId":"s","model":"gemini-pro"}
{"type":"gemini","id":"a","tokens":{"input":1}}
{"type":"gemini","id":"b","tokens":{"input":2}}
{"type":"gemini","id":"a","tokens":{"input":3},"model":"flash"}
{"type":"gemini","tokens":{"input":4}}
{"type":"gemini","tokens":{"input":4}}
{"stats":{"models":{"z":{"tokens":{"input":5}},"b":{"tokens":{"input":6}}}}}
)";
  const Items items = log_items(log);
  EXPECT_EQ(items, (Items{{"flash", 3, 7}, {"gemini-pro", 2, 7}, {"flash", 4, 7}, {"flash", 4, 7}, {"b", 6, 7}, {"z", 5, 7}}));
  // Read in parts cut anywhere, each part after the first not knowing the model before it.
  for (std::size_t cut = 1; cut < 7; ++cut) EXPECT_EQ(log_items(log, {cut}), items) << cut;
  EXPECT_EQ(log_items(log, {1, 2, 3, 4, 5, 6}), items);

  // The same ids in a second file count again, and the line's own carriage return is dropped.
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("GEMINI_DATA_DIR", t.path().string());
  kit::write_file(t / "one.jsonl", log);
  kit::write_file(t / "two.jsonl", R"({"type":"gemini","id":"a","model":"flash","tokens":{"input":3}})" "\r\n");
  auto table = prices();
  auto usage = load_gemini_usage(kit::reader_options(), table);
  ASSERT_TRUE(usage) << usage.error();
  std::uint64_t input = 0;
  for (const auto& r : usage->rows) input += r.input;
  EXPECT_EQ(input, 3u + 2u + 4u + 4u + 6u + 5u + 3u);
}

TEST(GeminiReader, InputsThatGiveNothing) {
  const std::string lines_in_json = "{\"type\":\"gemini\",\"model\":\"m\",\"tokens\":{\"input\":1}}\n"
                                    "{\"type\":\"gemini\",\"model\":\"m\",\"tokens\":{\"input\":1}}\n";
  struct Case {
    std::string name, text;
  } cases[] = {
      {"a.json", lines_in_json},  // JSON Lines in a document file
      {"a.json", "[1,2]"},
      {"a.json", R"({"messages":[{"type":"gemini","model":"m"}]})"},                             // no tokens
      {"a.json", R"({"messages":[{"type":"gemini","model":" ","tokens":{"input":1}}]})"},        // blank model
      {"a.json", R"({"messages":[{"type":"gemini","model":"m","tokens":{"input":0,"output":-5}}]})"},  // all zero
      {"a.json", R"({"messages":{"type":"gemini"},"type":"user"})"},                              // no array
  };
  for (const auto& c : cases) EXPECT_TRUE(parse(c.name, c.text).empty()) << c.text;
  EXPECT_TRUE(log_items("[1]\nnot json\n{\"type\":\"gemini\",\"model\":\"m\",\"tokens\":7}\n").empty());
  // A reply before any model counts nothing, even when a later part of the log names one.
  const std::string late = "{\"type\":\"gemini\",\"id\":\"a\",\"tokens\":{\"input\":1}}\n"
                           "{\"type\":\"gemini\",\"id\":\"a\",\"tokens\":{\"input\":2}}\n"
                           "{\"model\":\"m\"}\n{\"type\":\"gemini\",\"id\":\"a\",\"tokens\":{\"input\":3}}\n"
                           "{\"stats\":{\"input\":4}}\n";
  const Items after{{"m", 3, 7}, {"m", 4, 7}};
  EXPECT_EQ(log_items(late), after);
  for (std::size_t cut = 1; cut < 5; ++cut) EXPECT_EQ(log_items(late, {cut}), after) << cut;
}

// Names spelt with escapes are the same names: such lines are read, while lines that name
// nothing the reader looks for are not parsed. A log read in chunks gives what its text gives.
TEST(GeminiReader, LogLinesWithEscapedNamesCountAndChunksChangeNothing) {
  const std::string log = R"({"mo\u0064el":"flash"})" "\n"
                          R"({"type":"g\u0065mini","id":"a","tokens":{"input":1}})" "\r\n"
                          R"({"type":"user","content":"\u00e9\u001b[1m"})" "\n"
                          R"({"st\u0061ts":{"input":4}})" "\n"
                          R"({"type":"gemini","tokens":{"input":2},"timestamp":"2025-05-01T10:00:00Z"})";
  const Items items = log_items(log);
  EXPECT_EQ(items, (Items{{"flash", 1, 7}, {"flash", 4, 7}, {"flash", 2, 1746093600000}}));
  EXPECT_FALSE(may_matter(R"({"type":"user","content":"\u00e9\u001b[1m \"models\""})"));
  EXPECT_TRUE(may_matter(R"({"type":"user","x":"\u005F"})"));

  kit::TempDir t;
  kit::write_file(t / "log.jsonl", log);
  for (std::size_t chunk : {1, 7, 1 << 18}) {
    FileReader reader(chunk);
    auto read = reader.read(t / "log.jsonl", 7);
    ASSERT_TRUE(read) << read.error();
    Items got;
    for (const auto& r : read->replies) got.emplace_back(read->models[r.model], r.counts.input, r.time_ms);
    EXPECT_EQ(got, items) << chunk;
  }
}

TEST(GeminiReader, TokenCountsAndTheirTotals) {
  json::StrictParser parser;
  auto counts = [&](const std::string& text) { return read_token_counts(parser.parse_copy(text)); };
  auto c = counts(R"({"prompt":"9","input_tokens":-5,"candidates":12.7,"cached_tokens":3,"reasoning":1e30,"tool":2})");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->input, 0u);  // a string is passed over; -5 reads 0
  EXPECT_EQ(c->output, 12u);
  EXPECT_EQ(c->cached, 3u);
  EXPECT_EQ(c->thoughts, UINT64_MAX);
  EXPECT_EQ(c->tool, 2u);
  EXPECT_EQ(c->total, std::nullopt);
  EXPECT_EQ(counts(R"({"total":"1250","total_tokens":9})")->total, std::nullopt);  // "total" decides
  EXPECT_EQ(counts(R"({"total_tokens":9})")->total, 9u);
  // A number beyond a double's range is no finite number: passed over, and no total.
  auto inf = counts(R"({"tool":1e400,"tool_tokens":4,"input":-1e400,"prompt":6,"output":1e400,"total":1e400,"total_tokens":9})");
  ASSERT_TRUE(inf);
  EXPECT_EQ(inf->tool, 4u);
  EXPECT_EQ(inf->input, 6u);
  EXPECT_EQ(inf->output, 0u);
  EXPECT_EQ(inf->total, std::nullopt);
  EXPECT_EQ(counts("[]"), std::nullopt);

  // Statistics: the input always holds the cached tokens; without models, one item.
  auto stats = parser.parse_copy(R"({"input":100,"cached":30,"output":5})");
  auto items = session_stats_usage(stats, std::nullopt, "s", 1000);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].model, "unknown");
  EXPECT_EQ(items[0].counts.input, 70u);
  EXPECT_EQ(items[0].counts.cache_read, 30u);
  EXPECT_EQ(items[0].timestamp_text, "1970-01-01T00:00:01.000Z");
}

TEST(GeminiReader, PriceCandidatesTheFirstPricedNameAndTheCostModes) {
  EXPECT_EQ(price_candidates("m"),
            (std::vector<std::string>{"google/m", "gemini/m", "vertex_ai/m", "openrouter/google/m", "m"}));
  EXPECT_EQ(price_candidates("google/m").size(), 5u);  // "google/google/m" is another name

  kit::TempDir t;
  kit::EnvGuard env;
  env.set("GEMINI_DATA_DIR", t.path().string());
  kit::write_file(t / "s.json", R"({"messages":[
    {"type":"gemini","model":"gemini-pro","timestamp":"2025-05-01T10:00:00Z","tokens":{"input":1000}},
    {"type":"gemini","model":"nowhere","timestamp":"2025-05-01T10:00:00Z","tokens":{"input":1}}]})");
  auto table = prices();
  kit::expect_computed_cost_modes([&](CostMode mode) { return load_gemini_usage(kit::reader_options(mode), table); }, 1000 * 1e-6);
}

TEST(GeminiReader, RootsVariableDefaultDirectoryAndUnreadableFiles) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("GEMINI_DATA_DIR");
  auto table = prices();
  auto none = load_gemini_usage(kit::reader_options(), table);  // no .gemini/tmp: nothing and no error
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);

  const std::string one = R"({"type":"gemini","model":"flash","timestamp":"2025-05-01T10:00:00Z","tokens":{"input":1}})";
  kit::write_file(home / ".gemini/tmp/h/a.json", one);
  kit::write_file(home / "d1/a.json", one);
  kit::write_file(home / "d2/sub/b.json", one);
  auto input_of = [&] {
    auto got = load_gemini_usage(kit::reader_options(), table);
    EXPECT_TRUE(got) << got.error();
    return got && !got->rows.empty() ? got->rows[0].input : 0;
  };
  EXPECT_EQ(input_of(), 1u);
  kit::expect_agent_reported(home.path(), "gemini");  // its row of the agent table
  // Listed roots replace the default; a root named twice or missing counts once or not at all.
  env.set("GEMINI_DATA_DIR", (home / "d1").string() + " , " + (home / "d1/").string() + ",," + (home / "gone").string() +
                                 "," + (home / "d2").string());
  EXPECT_EQ(input_of(), 2u);

  // A line that is not UTF-8 is passed over; a document that is not costs its file.
  kit::write_file(home / "d2/sub/bad.jsonl", "{\"type\":\"gemini\"}\xff\n");
  EXPECT_EQ(input_of(), 2u);
  EXPECT_TRUE(load_gemini_usage(kit::reader_options(), table)->unread.empty());
  kit::write_file(home / "d2/sub/bad.json", "{\"type\":\"gemini\"}\xff");
  kit::expect_one_unread(load_gemini_usage(kit::reader_options(), table), 2, home / "d2/sub/bad.json", "not valid UTF-8");

  env.unset("GEMINI_DATA_DIR");
  kit::unset_home(env);
  auto no_home = load_gemini_usage(kit::reader_options(), table);
  ASSERT_TRUE(no_home);
  EXPECT_FALSE(no_home->detected);
}

// Logs cut anywhere, read by several workers, give what one worker reading them whole gives:
// models changed just before a cut, replies replaced by the same id parts later, replies and
// statistics before any model. A document is read whole however it is cut.
TEST(GeminiReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("GEMINI_DATA_DIR", t.path().string());
  auto reply = [](std::string_view id, int input, std::string_view extra = "") {
    return R"({"type":"gemini",)" + (id.empty() ? "" : R"("id":")" + std::string(id) + R"(",)") + R"("tokens":{"input":)" +
           std::to_string(input) + R"(,"output":1})" + std::string(extra) + "}\n";
  };
  const std::string day2 = R"(,"timestamp":"2025-05-02T10:00:00Z")";
  kit::write_file(t / "h/chats/log.jsonl",
                  reply("a", 1) + R"({"sessionId":"s","model":"gemini-pro"})" "\n" + reply("b", 2) +
                      R"({"stats":{"input":4,"cached":1}})" "\n" R"({"model":"flash"})" "\n" + reply("b", 3, day2) +
                      reply("a", 5) + R"({"stats":{"models":{"z":{"tokens":{"input":6}},"b":{"tokens":{"input":7}}}}})" "\n" +
                      reply("", 8) + reply("a", 9, R"(,"model":"gemini-pro")") + reply("", 10, day2) +
                      R"({"type":"user","content":"a line between"})" "\r\n" + reply("b", 11));
  kit::write_file(t / "h/chats/start.jsonl", reply("a", 20) + R"({"stats":{"input":21}})" "\n" R"({"model":"flash"})" "\n" +
                                                 reply("a", 22));
  kit::write_file(t / "h/chats/session.json", kSession);
  kit::write_file(t / "h/chats/bad.json", "{\"type\":\"gemini\"}\xff");
  auto table = prices();
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_gemini_usage(options, table, sizes);
  });
  // b's last value, the statistics without their cached token, a's last value, ...; a reply
  // before any model counts nothing.
  kit::expect_one_unread(load_gemini_usage(kit::reader_options(), table), 11u + 3 + 9 + 6 + 7 + 8 + 10 + 21 + 22 + 1710,
                         t / "h/chats/bad.json", "not valid UTF-8");
}

}  // namespace
}  // namespace qm::gemini::parser
