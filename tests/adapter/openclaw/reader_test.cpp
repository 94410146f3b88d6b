// The OpenClaw reader over small session logs.
#include "adapter/openclaw/reader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "adapter/openclaw/paths.h"
#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/reader.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "reader/files.h"

namespace qm::openclaw::parser {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({{"m1", {.input = 1e-6, .output = 2e-6, .cache_creation = 3e-6, .cache_read = 1e-7}}});
}

// An assistant message with its own time and the given usage and extra members.
std::string reply(const std::string& usage, const std::string& extra = "",
                  const std::string& time = "\"2025-03-01T10:00:00Z\"") {
  return R"({"type":"message","message":{"role":"assistant","timestamp":)" + time + extra + R"(,"usage":)" + usage + "}}\n";
}

const ModelUsage* model_usage(const UsageRow& row, std::string_view model) {
  for (const auto& m : row.model_usages)
    if (m.model == model) return &m;
  return nullptr;
}

struct Fixture {
  kit::TempDir t;
  kit::EnvGuard env;
  pricing::PricingTable table = prices();
  Fixture() { env.set("OPENCLAW_DIR", (t / "oc").string()); }
  AgentLoadResult load(CostMode mode = CostMode::Auto) { return load_openclaw_usage(kit::reader_options(mode), table); }
};

TEST(OpenClawReader, ModelChangesRecordedCostsAndTheReconciledTotal) {
  Fixture f;
  kit::write_file(f.t / "oc/agents/a/sessions/s1.jsonl",
                  R"({"type":"model_change","data":{"modelId":" m1 ","provider":"p1"}})" "\n" +
                      reply(R"({"input":100,"output":0,"totalTokens":150})") +  // the shortfall becomes the output
                      reply(R"({"input":10,"output":5,"totalTokens":40,"cost":{"total":0.5}})") +
                      R"({"type":"custom","customType":"model-snapshot","model":"m2"})" "\r\n" +
                      reply(R"({"cacheRead":7,"cacheWrite":3})", R"(,"provider":"p2")"));
  kit::write_file(f.t / "oc/agents/a/sessions/s2.jsonl", reply(R"({"output":1})"));  // starts with no model

  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.agent_id, "openclaw");
  EXPECT_EQ(row.label, "2025-03-01");
  EXPECT_EQ(row.input, 110u);
  EXPECT_EQ(row.output, 50u + 5u + 1u);
  EXPECT_EQ(row.total, 150u + 40u + 10u + 1u);  // 25 reasoning tokens: the rest of the second total
  const ModelUsage* m1 = model_usage(row, "[openclaw] m1");
  ASSERT_NE(m1, nullptr);
  EXPECT_EQ(m1->reasoning, 25u);
  // The first reply priced through the model inside the label; the second costs what was recorded.
  EXPECT_DOUBLE_EQ(m1->cost, 100 * 1e-6 + 50 * 2e-6 + 0.5);
  ASSERT_NE(model_usage(row, "[openclaw] m2"), nullptr);
  EXPECT_TRUE(model_usage(row, "[openclaw] m2")->unpriced);
  EXPECT_NE(model_usage(row, "[openclaw] unknown"), nullptr);
}

// A log read in parts cut anywhere, each part after the first not knowing the model before
// it, gives what the whole log gives; so does the reader, however it cuts the file in chunks.
TEST(OpenClawReader, ALogReadInPartsGivesWhatTheWholeGives) {
  const std::string log = reply(R"({"input":1})") +  // before any model: unknown
                          R"({"type":"model_change","data":{"modelId":"m1"}})" "\n" + reply(R"({"input":2})") +
                          reply(R"({"input":4})", R"(,"model":"m9")") + reply(R"({"input":8})") +
                          R"({"type":"custom","customType":"model-snapshot","modelId":"m2"})" "\r\n" +
                          R"({"type":"model_change","data":{"provider":"p"}})" "\n" + reply(R"({"input":16})");
  using Got = std::vector<std::pair<std::string, std::uint64_t>>;
  std::vector<std::string> lines;
  reader::for_each_line(log, [&](std::string_view line) { lines.emplace_back(line); });
  auto read = [&](std::vector<std::size_t> cuts) {
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(lines.size());
    json::StrictParser parser;
    std::optional<LogJoin> join;
    for (std::size_t p = 0; p + 1 < cuts.size(); ++p) {
      PartLog part;
      LogFold fold(part.log, 0, p == 0);
      for (std::size_t i = cuts[p]; i < cuts[p + 1]; ++i) fold.line(reader::Text(lines[i]).view(), parser);
      part.current = fold.current();
      if (join)
        join->add(std::move(part));
      else
        join.emplace(std::move(part));
    }
    const session_log::SessionLog whole = join->take();
    Got got;
    for (const auto& u : whole.usages) got.emplace_back(whole.models[u.model], u.usage.counts.input);
    return got;
  };
  const Got whole{{"[openclaw] unknown", 1}, {"[openclaw] m1", 2}, {"[openclaw] m9", 4},
                  {"[openclaw] m1", 8},      {"[openclaw] m2", 16}};
  EXPECT_EQ(read({}), whole);
  for (std::size_t cut = 1; cut < lines.size(); ++cut) EXPECT_EQ(read({cut}), whole) << cut;
  EXPECT_EQ(read({1, 2, 3, 4, 5, 6, 7}), whole);

  kit::TempDir t;
  kit::write_file(t / "s1.jsonl", log);
  for (std::size_t chunk : {1, 7}) {
    FileReader reader(chunk);
    auto got = reader.read(t / "s1.jsonl");
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(got->session_id, "s1");
    Got labels;
    for (const auto& u : got->usages) labels.emplace_back(got->models[u.model], u.usage.counts.input);
    EXPECT_EQ(labels, whole) << chunk;
  }
}

TEST(OpenClawReader, ACopyInARotatedFileCountsOnceAndAnotherSessionAgain) {
  Fixture f;
  const std::string line = reply(R"({"input":100})", R"(,"model":"m1")");
  for (auto name : {"s1.jsonl", "s1.jsonl.deleted.2025-01-02", "s1.jsonl.reset.3", "s2.jsonl",  // taken
                    "s1.jsonl.bak", "a.jsonl.b.jsonl", "x.jsonl/s3.json"})                          // not taken
    kit::write_file(f.t / "oc" / name, line);
  kit::write_file(f.t / "oc/x.jsonl/s4.jsonl", line);  // a directory named like a log is entered
  std::vector<fs::path> files;
  UnreadFiles unread;
  paths::collect_session_files(f.t / "oc", files, unread);
  EXPECT_TRUE(unread.empty());
  EXPECT_EQ(files.size(), 5u);
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
  EXPECT_EQ(session_id("dir/s1.jsonl.deleted.1"), "s1");
  EXPECT_EQ(session_id(".jsonl.reset.1"), ".jsonl.reset.1");

  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].input, 300u);  // s1 once, s2, s4
}

TEST(OpenClawReader, TimesOfAReply) {
  Fixture f;
  auto line_timed = [](const std::string& message_time, const std::string& input) {
    return R"({"type":"message","timestamp":"2025-04-02T00:00:00Z","message":{"role":"assistant")" + message_time +
           R"(,"usage":{"input":)" + input + "}}}\n";
  };
  kit::write_file(f.t / "oc/s.jsonl", reply(R"({"input":1})", "", "1700000000") +  // ten digits: milliseconds
                                          line_timed("", "2") +                      // the line's time
                                          line_timed(R"(,"timestamp":null)", "4") +  // the file's time
                                          line_timed(R"(,"timestamp":"soon")", "8"));
  timespec times[2] = {{0, UTIME_OMIT}, {1'750'000'000, 0}};  // 2025-06-15
  ASSERT_EQ(::utimensat(AT_FDCWD, (f.t / "oc/s.jsonl").c_str(), times, 0), 0);
  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  std::vector<std::pair<std::string, std::uint64_t>> days;
  for (const auto& r : got->rows) days.emplace_back(r.label, r.input);
  EXPECT_EQ(days, (std::vector<std::pair<std::string, std::uint64_t>>{
                      {"1970-01-20", 1}, {"2025-04-02", 2}, {"2025-06-15", 12}}));
}

TEST(OpenClawReader, LinesThatGiveNothing) {
  Fixture f;
  std::string lines[] = {
      "not json \"usage\"",
      R"(["usage"])",
      reply(R"({"input":0,"output":-3,"cacheRead":1.5})"),                            // no count
      R"({"type":"message","message":{"role":"user","usage":{"input":1}}})",
      R"({"type":"note","message":{"role":"assistant","usage":{"input":1}}})",
      R"({"type":"message","message":{"role":"assistant","usage":[1]}})",
      "{\"type\":\"message\",\"message\":{\"role\":\"assistant\",\"usage\":{\"input\":1},\"x\":\"\xff\"}}",  // not UTF-8
      R"({"type":"message","message":{"role":"assistant","usage":{"input":1}}})" "\n",  // the one that counts
  };
  std::string text;
  for (const auto& l : lines) text += l + (l.ends_with('\n') ? "" : "\n");
  kit::write_file(f.t / "oc/s.jsonl", text);
  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].total, 1u);
}

TEST(OpenClawReader, RecordedCostsByCostModeAndBadCostsCountAsAbsent) {
  Fixture f;
  kit::write_file(f.t / "oc/s.jsonl", reply(R"({"input":1000,"cost":{"total":0.25}})", R"(,"model":"m1")") +
                                          reply(R"({"input":2000,"cost":{"total":-4}})", R"(,"model":"m1")") +
                                          reply(R"({"input":3000,"cost":{"total":"7"}})", R"(,"model":"m1")"));
  struct Case {
    CostMode mode;
    double cost;
  } cases[] = {
      {CostMode::Auto, 0.25 + 2000e-6 + 3000e-6},  // a negative cost lowers nothing: the price instead
      {CostMode::Calculate, 6000e-6},
      {CostMode::Display, 0.25},
  };
  for (const auto& c : cases) {
    auto got = f.load(c.mode);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
  }
}

TEST(OpenClawReader, NoPriceIsLookedUpWhenTheModeTakesTheRecordedCost) {
  Fixture f;
  kit::unset_proxy_variables(f.env);
  kit::HttpServer catalogue;  // a missed name may fetch the catalogue: only when it is priced
  f.env.set("QUILLIMARE_MODELS_DEV_URL", catalogue.url("/api.json"));
  f.table.models_dev_download_allowed = true;
  kit::write_file(f.t / "oc/s.jsonl", reply(R"({"input":1000,"cost":{"total":0.25}})", R"(,"model":"nowhere")"));
  struct Case {
    CostMode mode;
    std::size_t fetched;
  } cases[] = {{CostMode::Display, 0}, {CostMode::Auto, 0}, {CostMode::Calculate, 1}};
  for (const auto& c : cases) {
    auto got = f.load(c.mode);
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(catalogue.requests().size(), c.fetched) << static_cast<int>(c.mode);
  }
}

TEST(OpenClawReader, DataDirectories) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).set("OPENCLAW_DIR", "  ");  // blank: the defaults
  auto table = prices();
  const std::string line = reply(R"({"input":1})");
  for (auto dir : {".openclaw", ".clawdbot", ".moltbot", ".moldbot", "elsewhere"})
    kit::write_file(home / dir / "agents" / (std::string(dir) + ".jsonl"), line);
  auto input = [&] { return kit::input_tokens(load_openclaw_usage(kit::reader_options(), table)); };
  EXPECT_EQ(input(), 4u);
  env.set("OPENCLAW_DIR", (home / "elsewhere").string() + ",," + (home / "elsewhere/").string() + "," + (home / "gone").string());
  EXPECT_EQ(input(), 1u);
  env.set("OPENCLAW_DIR", ",");  // not blank, names nothing: no defaults either
  EXPECT_EQ(input(), 0u);
  env.unset("OPENCLAW_DIR");
  kit::unset_home(env);
  auto none = load_openclaw_usage(kit::reader_options(), table);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);
}

TEST(OpenClawReader, ADirectoryThatCannotBeListedIsSaidAndTheRestCounted) {
  kit::TempDir home;
  kit::write_file(home / ".openclaw/a.jsonl", reply(R"({"input":1})"));
  fs::create_directories(home / ".openclaw/locked");
  kit::RunOptions o;
  o.env = kit::base_env(home.path().string());
  std::vector<std::string> argv = {QM_BINARY, "summary", "--agents", "openclaw", "--offline", "--json"};
  if (::geteuid() == 0) {  // a user without the right to list it
    fs::permissions(home.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  kit::Snapshot before(home.path());
  auto ok = kit::run(argv, o);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("\"agent\": \"openclaw\""), std::string::npos) << ok.out;
  EXPECT_TRUE(before.unchanged());

  ASSERT_EQ(::chmod((home / ".openclaw/locked").c_str(), 0700), 0);
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod((home / ".openclaw/locked").c_str(), 0), 0);
  }
  auto said = kit::run(argv, o);
  ::chmod((home / ".openclaw/locked").c_str(), 0700);
  EXPECT_EQ(said.status, 0) << said.err;
  EXPECT_EQ(said.out, ok.out);
  EXPECT_EQ(said.err, "WARN  Could not read 1 OpenClaw file; its usage is not counted: " +
                          (home / ".openclaw/locked").string() + ": Permission denied\n");
}

// Session files cut anywhere, read by several workers, give what one worker reading them
// whole gives: the model announced parts before, a reply before any model, a message repeated
// on both sides of a cut or in a rotated copy of its log.
TEST(OpenClawReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  Fixture f;
  const std::string change = R"({"type":"model_change","data":{"modelId":"m1"}})" "\n",
                    snapshot = R"({"type":"custom","customType":"model-snapshot","model":"m2"})" "\r\n",
                    again = reply(R"({"input":5,"cost":{"total":0.25}})");
  kit::write_file(f.t / "oc/agents/a/sessions/s1.jsonl",
                  reply(R"({"input":1})") + change + reply(R"({"input":2})") + again +
                      R"({"type":"message","message":{"role":"user","content":"between"}})" "\n" +
                      reply(R"({"input":3})", R"(,"model":"m9")") + snapshot + again + reply(R"({"input":4})", "", "1740830400000") +
                      change + again + reply(R"({"input":6})"));
  kit::write_file(f.t / "oc/agents/a/sessions/s1.jsonl.reset.2025-03-01", change + again + reply(R"({"input":7})"));
  kit::write_file(f.t / "oc/agents/a/sessions/s2.jsonl", reply(R"({"input":8})") + snapshot + reply(R"({"input":8})"));
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_openclaw_usage(options, f.table, sizes);
  });
  // again counts once under m1 and once under m2 (another model), in s1 and its copy alike.
  EXPECT_EQ(kit::input_tokens(f.load()), 1u + 2 + 5 + 3 + 5 + 4 + 6 + 7 + 8 + 8);
}

}  // namespace
}  // namespace qm::openclaw::parser
