// The Claude reader over a small project tree, in process and as the built program.
#include "adapter/claude/loader.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <random>

#include <fmt/core.h>

#include "adapter/all/loader.h"
#include "adapter/claude/daily.h"
#include "fast.h"
#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/http_server.h"
#include "kit/run.h"

namespace qm::claude {
namespace {

namespace fs = std::filesystem;

std::string reply(const std::string& message_id, const std::string& request_id, int output, const std::string& when,
                  bool sidechain = false, const std::string& model = "claude-sonnet-4-5-20250929") {
  return R"({"isSidechain":)" + std::string(sidechain ? "true" : "false") +
         R"(,"sessionId":"s","version":"2.1.9","type":"assistant","message":{"model":")" + model + R"(","id":")" +
         message_id + R"(","usage":{"input_tokens":100,"cache_creation_input_tokens":1000,)" +
         R"("cache_read_input_tokens":10000,"output_tokens":)" + std::to_string(output) + R"(}},"requestId":")" +
         request_id + R"(","timestamp":")" + when + R"("})" + "\n";
}

// The parent's copy of a sub-agent reply.
std::string progress(const std::string& message_id, const std::string& request_id, int output,
                     const std::string& when) {
  return R"({"type":"progress","isSidechain":false,"sessionId":"s","timestamp":")" + when +
         R"(","data":{"type":"agent_progress","message":{"type":"assistant","requestId":")" + request_id +
         R"(","timestamp":")" + when + R"(","message":{"model":"claude-haiku-4-5-20251001","id":")" + message_id +
         R"(","usage":{"input_tokens":7,"output_tokens":)" + std::to_string(output) + "}}}}}\n";
}

// Sessions over three days; streamed copies, sub-agent files with their progress copies
// (one under another request id), a reply repeated in a resumed session, lines to pass over.
void write_tree(const fs::path& projects) {
  const std::string day1 = "2025-03-01T10:00:00.000Z", day2 = "2025-03-02T10:00:00.000Z",
                    day3 = "2025-03-03T23:30:00.000Z";
  kit::write_file(projects / "-p-web/s1.jsonl",
                  R"({"type":"summary","summary":"x"})"
                  "\n" +
                      reply("msg_a", "req_a", 5, day1) + reply("msg_a", "req_a", 50, day1) +
                      progress("msg_sub1", "req_other", 3, day2) + progress("msg_sub1", "req_other", 30, day2) +
                      reply("msg_b", "req_b", 9, day2, false, "<synthetic>") + "not json \"usage\":{\n");
  kit::write_file(projects / "-p-web/agent-1.jsonl",
                  reply("msg_sub1", "req_sub1", 2, day2, true, "claude-haiku-4-5-20251001") +
                      reply("msg_sub1", "req_sub1", 30, day2, true, "claude-haiku-4-5-20251001"));
  kit::write_file(projects / "-p-web/s1/subagents/agent-2.jsonl",
                  reply("msg_sub2", "req_sub2", 4, day3, true, "claude-haiku-4-5-20251001"));
  kit::write_file(projects / "-p-web/s1.jsonl.bak", reply("msg_bak", "req", 1, day1));
  kit::write_file(projects / "-p-api/s2.jsonl", reply("msg_c", "req_c", 70, day3) + reply("msg_a", "req_a", 50, day1));
  kit::write_file(projects / "-p-api/s3.jsonl",
                  progress("msg_sub2", "req_sub2", 4, day3) + reply("msg_d", "r", 1, day2));
  kit::write_file(projects / "-p-api/s4.jsonl", reply("msg_e", "r", 1, day1, false, "<synthetic>"));
}

struct Tree {
  kit::TempDir home;
  kit::EnvGuard env;
  Tree() {
    env.set("HOME", home.path().string()).set("TZ", "UTC").unset("CLAUDE_CONFIG_DIR").unset("XDG_CONFIG_HOME");
    write_tree(home / ".claude/projects");
  }
  AgentLoadResult load(CommonOptions o) {
    o.offline = true;
    return load_usage_entries(all::loader::make_load_options(o));
  }
};

// Workers come from the affinity mask: restrict it to get a given number.
struct Processors {
  cpu_set_t saved;
  explicit Processors(int n) {
    sched_getaffinity(0, sizeof saved, &saved);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < n; ++cpu)
      if (CPU_ISSET(cpu, &saved)) {
        CPU_SET(cpu, &set);
        ++taken;
      }
    sched_setaffinity(0, sizeof set, &set);
  }
  ~Processors() { sched_setaffinity(0, sizeof saved, &saved); }
};

TEST(ClaudeLoader, RowsPerDayAlikeForOneAndManyWorkers) {
  Tree run;
  CommonOptions single;
  single.single_thread = true;
  auto one = run.load(single);
  ASSERT_TRUE(one);
  EXPECT_TRUE(one->detected);
  ASSERT_EQ(one->rows.size(), 3u);

  // Day 1: msg_a once (50) and the synthetic msg_e, whose tokens count without a model.
  const UsageRow& d1 = one->rows[0];
  EXPECT_EQ(d1.label, "2025-03-01");
  EXPECT_EQ(d1.agent_id, "claude");
  EXPECT_EQ(d1.agents, (std::vector<std::string>{"claude"}));
  EXPECT_EQ(d1.output, 51u);
  EXPECT_EQ(d1.input, 200u);
  EXPECT_EQ(d1.models, (std::vector<std::string>{"claude-sonnet-4-5-20250929"}));
  // Day 2: the sub-agent reply once, as the parent's copy; msg_b (synthetic) and msg_d.
  const UsageRow& d2 = one->rows[1];
  EXPECT_EQ(d2.output, 30u + 9u + 1u);
  EXPECT_EQ(d2.input, 7u + 100u + 100u);
  EXPECT_EQ(d2.models, (std::vector<std::string>{"claude-sonnet-4-5-20250929", "claude-haiku-4-5-20251001"}));
  // Day 3: msg_c and msg_sub2 once.
  EXPECT_EQ(one->rows[2].output, 74u);
  EXPECT_GT(one->rows[2].cost, 0.0);

  for (int n : {1, 2, 4}) {
    Processors limit(n);
    auto many = run.load(CommonOptions{});
    ASSERT_TRUE(many);
    EXPECT_EQ(many->rows, one->rows) << n << " processors";
  }
}

TEST(ClaudeLoader, DateRangeModesAndErrors) {
  Tree run;
  CommonOptions o;
  o.since = "20250302";
  o.until = "20250302";
  auto ranged = run.load(o);
  ASSERT_TRUE(ranged);
  ASSERT_EQ(ranged->rows.size(), 1u);
  EXPECT_EQ(ranged->rows[0].label, "2025-03-02");
  o.since = "20260101";
  o.until.reset();
  ranged = run.load(o);
  ASSERT_TRUE(ranged);
  EXPECT_TRUE(ranged->rows.empty());
  EXPECT_TRUE(ranged->detected);

  CommonOptions display;
  display.mode = CostMode::Display;
  auto shown = run.load(display);
  ASSERT_TRUE(shown);
  for (const auto& r : shown->rows) {
    EXPECT_EQ(r.cost, 0.0);
    for (const auto& m : r.model_usages) EXPECT_FALSE(m.unpriced);
  }

  run.env.set("CLAUDE_CONFIG_DIR", (run.home / "nowhere").string());
  auto failed = run.load(CommonOptions{});
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().starts_with("No valid Claude data directories found in CLAUDE_CONFIG_DIR."));

  run.env.set("CLAUDE_CONFIG_DIR", (run.home / ".claude/projects").string());
  auto named = run.load(CommonOptions{});
  ASSERT_TRUE(named);
  EXPECT_EQ(named->rows.size(), 3u);

  run.env.unset("CLAUDE_CONFIG_DIR").set("HOME", (run.home / "elsewhere").string());
  auto none = run.load(CommonOptions{});
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);
  EXPECT_TRUE(none->rows.empty());
}

// Logs whose every reply hangs on the order of its copies: copies of a reply mostly share its
// total but split it differently between input and output, and the first of equal copies
// stays; so a part read out of order, or a copy lost or counted twice at a cut, changes the
// totals.
std::vector<fs::path> write_logs(const fs::path& dir) {
  std::mt19937 rng(3);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<std::string> texts(4);
  for (int reply_number = 0; reply_number < 200; ++reply_number) {
    auto& text = texts[reply_number % 7 == 0 ? 1 + pick(3) : 0];
    const std::string id = fmt::format("msg_{}", pick(120));
    std::string request = fmt::format("req_{}", pick(3));
    const std::string when = fmt::format("2025-03-{:02}T{:02}:00:00.000Z", 1 + pick(3), pick(24));
    bool sidechain = pick(5) == 0;
    int total = 50 + pick(4) * 20;
    for (int copy = 0, copies = 1 + pick(3); copy < copies; ++copy) {
      const int output = 1 + pick(total - 1);
      if (pick(3) == 0) total += 10;  // streamed: a later copy holds more
      // Now and then a copy that is not of the run: another side, another request.
      if (pick(8) == 0) sidechain = !sidechain;
      if (pick(8) == 0) request = fmt::format("req_{}", pick(3));
      text += fmt::format(
          R"({{"isSidechain":{},"sessionId":"s","version":"2.1.9","type":"assistant","costUSD":0.5,)"
          R"("message":{{"model":"{}","id":"{}","usage":{{"input_tokens":{},"output_tokens":{}}}}},)"
          R"("requestId":"{}","timestamp":"{}"}})",
          sidechain ? "true" : "false", pick(4) ? "claude-sonnet-4-5-20250929" : "claude-haiku-4-5-20251001", id,
          total - output, output, request, when);
      text += pick(6) ? "\n" : "\r\n";
      if (pick(4) == 0) text += progress(id, "req_p" + request, total, when);
      // Lines to pass over: short ones, and tool results longer than a part.
      if (pick(3) == 0) text += R"({"type":"user","message":{"content":")" + std::string(pick(2) ? 10 : 700, 'x') + "\"}}\n";
      if (pick(9) == 0) text += R"({"toolUseResult":{"usage":{"input_tokens":1}}})" "\n";
    }
  }
  texts[2].pop_back();  // no final line feed
  std::vector<fs::path> files;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    files.push_back(dir / fmt::format("s{}.jsonl", i));
    kit::write_file(files.back(), texts[i]);
  }
  files.push_back(dir / "missing.jsonl");
  return files;
}

TEST(ClaudeLoader, FilesReadInPartsGiveWhatOneWorkerGives) {
  kit::TempDir dir;
  const auto files = write_logs(dir.path());
  const auto zone = cctz::utc_time_zone();
  UnreadFiles unread_one;
  const auto one = all::loader::to_usage_rows(
      "claude", read_usage_groups(files, 1, parallel::PartSizes{}, zone, CostMode::Auto, nullptr, unread_one));
  ASSERT_EQ(one.size(), 3u);
  EXPECT_EQ(unread_one.count, 1u);
  for (std::uint64_t part : {5, 50, 400, 3000, 20000}) {
    for (std::size_t workers : {2u, 5u}) {
      UnreadFiles unread;
      const auto many = all::loader::to_usage_rows(
          "claude", read_usage_groups(files, workers, parallel::PartSizes{.cut_above = 1000, .part = part}, zone,
                                      CostMode::Auto, nullptr, unread));
      EXPECT_EQ(many, one) << part << " bytes a part, " << workers << " workers";
      EXPECT_EQ(unread, unread_one);
    }
  }
}

// A run of copies of one reply is read as the copy that de-duplication keeps of it: the same
// replies are kept as when every line is read alone.
TEST(ClaudeLoader, ARunOfCopiesIsReadAsTheCopyThatIsKept) {
  kit::TempDir dir;
  const auto files = write_logs(dir.path());
  daily::FileReader reader(cctz::utc_time_zone(), CostMode::Auto, nullptr);
  std::vector<daily::DailyUsageRecord> whole, alone;
  for (const auto& file : files) {
    if (!fs::exists(file)) continue;
    auto records = reader.read(file);
    for (auto& r : *records) whole.push_back(std::move(r));
    const std::string text = kit::read_file(file);
    std::string_view rest = text;
    while (auto line = fast::next_line(rest)) {
      kit::write_file(dir / "line", *line);
      auto records = reader.read(dir / "line");
      for (auto& r : *records) alone.push_back(std::move(r));
    }
  }
  EXPECT_LT(whole.size(), alone.size());
  EXPECT_EQ(all::loader::to_usage_rows("claude", daily::group_by_day(daily::dedup_records(std::move(whole)))),
            all::loader::to_usage_rows("claude", daily::group_by_day(daily::dedup_records(std::move(alone)))));
}

kit::RunResult quillimare(const fs::path& home, std::vector<std::string> args,
                          std::map<std::string, std::string> extra = {}) {
  std::vector<std::string> argv{QM_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  kit::RunOptions opts;
  opts.env = kit::base_env(home.string());
  for (auto& [k, v] : extra) opts.env[k] = v;
  return kit::run(argv, opts);
}

TEST(ClaudeLoader, SummaryOfTheBuiltProgram) {
  kit::TempDir home;
  write_tree(home / ".claude/projects");
  auto r = quillimare(home.path(), {"summary", "--agents", "claude", "--json", "--offline"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(kit::json_size(r.out, "/agents"), 1u);
  EXPECT_EQ(kit::json_at(r.out, "/agents/0/agent"), R"("claude")");
  EXPECT_EQ(kit::json_size(r.out, "/agents/0/daily"), 3u);
  EXPECT_EQ(kit::json_number(r.out, "/agents/0/tokenBreakdown/output"), 51 + 40 + 74);

  auto single = quillimare(home.path(), {"summary", "--agents", "claude", "--json", "--offline", "--single-thread"});
  EXPECT_EQ(single.out, r.out);
  auto debug = quillimare(home.path(), {"summary", "--agents", "claude", "--json", "--offline", "--debug"});
  EXPECT_EQ(debug.out, r.out);
  EXPECT_EQ(debug.err, "");

  auto bad = quillimare(home.path(), {"summary", "--json", "--offline"}, {{"CLAUDE_CONFIG_DIR", " /nowhere "}});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("'projects/' directory itself:  /nowhere "), std::string::npos) << bad.err;
}

// The framework's price table and the reader's own come from one download of LiteLLM's list.
TEST(ClaudeLoader, OneDownloadPerRun) {
  kit::TempDir home;
  write_tree(home / ".claude/projects");
  kit::HttpServer server;
  server.on("/prices.json", kit::ScriptedResponse{.body = R"({"claude-sonnet-4-5-20250929": {"i": 1, "o": 1}})"});
  auto r = quillimare(home.path(), {"summary", "--json"}, {{"QUILLIMARE_LITELLM_URL", server.url("/prices.json")}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.requests().size(), 1u);
  // Priced at a dollar a token from the download: thousands of dollars, not cents.
  EXPECT_GT(kit::json_number(r.out, "/totals/totalCost"), 1000.0);
}

}  // namespace
}  // namespace qm::claude
