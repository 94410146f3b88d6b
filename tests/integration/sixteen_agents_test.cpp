// One home holding a little usage of every agent, read by one run of the built program: every
// agent found, its rows merged per day and priced from a price list of the test's own, the
// totals the sums of the parts, and every file left as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "adapter/codex/rollout.h"
#include "adapter/cursor/dashboard.h"
#include "adapter/goose/session_table.h"
#include "adapter/hermes/session_table.h"
#include "adapter/opencode/message_tables.h"
#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/json_text.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// The one model of the fixture, per million tokens: input $1, output $4, cache write $2,
// cache read $0.10. No compiled-in entry has this name, so every price comes from here.
constexpr const char* kPriceList =
    R"({"qm-alpha": {"input_cost_per_token": 1e-6, "output_cost_per_token": 4e-6,
                     "cache_creation_input_token_cost": 2e-6, "cache_read_input_token_cost": 1e-7}})";

// 2025-06-02T10:00:00Z, when the OpenCode and Kilo messages were made.
constexpr std::int64_t kDay2At10Ms = kit::kJune1Ms + kit::kDayMs + 10 * 3'600'000;

void write_claude(const fs::path& home) {
  kit::write_file(home / ".claude/projects/-work/s1.jsonl",
                  R"({"type":"assistant","sessionId":"c1","version":"1.0.35","requestId":"r1",)"
                  R"("timestamp":"2025-06-01T08:00:00Z","message":{"id":"msg_1","model":"qm-alpha","usage":)"
                  R"({"input_tokens":100000,"output_tokens":10000,"cache_creation_input_tokens":20000,)"
                  R"("cache_read_input_tokens":200000}}})"
                  "\n");
}

void write_codex(const fs::path& home) {
  using codex::testing::quoted;
  using codex::testing::token_count;
  using codex::testing::Usage;
  kit::write_file(home / ".codex/sessions/2025/06/01/rollout-1.jsonl",
                  codex::testing::turn_context("qm-alpha") +
                      token_count(quoted("2025-06-01T09:00:00.000Z"), Usage{200000, 50000, 20000, 0, 220000}) +
                      token_count(quoted("2025-06-02T09:00:00.000Z"), Usage{100000, 0, 10000, 0, 110000}));
}

void write_opencode_and_kilo(const fs::path& home) {
  auto paid = kit::assistant_message("qm-alpha", "qmlab", kit::message_tokens(50000, 5000), kDay2At10Ms);
  paid.cost = "0.5";
  kit::message_db(home / ".local/share/opencode/opencode.db", {kit::message_row("o1", paid)});
  kit::message_db(home / ".local/share/kilo/kilo.db",
                  {kit::message_row("k1", kit::assistant_message("qm-alpha", "qmlab", kit::message_tokens(70000, 10000), kDay2At10Ms))});
}

void write_amp(const fs::path& home) {
  kit::write_file(home / ".local/share/amp/threads/T-1.json",
                  R"({"id":"T-1","messages":[{"role":"assistant","messageId":1,"usage":{"model":"qm-alpha",)"
                  R"("timestamp":"2025-06-02T10:00:00Z","inputTokens":40000,"outputTokens":10000,)"
                  R"("cacheReadInputTokens":100000,"credits":3}}]})");
}

void write_droid(const fs::path& home) {
  kit::write_file(home / ".factory/sessions/-work/d1.settings.json",
                  R"({"model":"qm-alpha","providerLockTimestamp":"2025-06-03T10:00:00Z",)"
                  R"("tokenUsage":{"inputTokens":30000,"outputTokens":5000,"thinkingTokens":5000}})");
}

void write_codebuff(const fs::path& home) {
  kit::write_file(home / ".config/manicode/projects/work/chats/2025-06-03T10-00-00.000Z/chat-messages.json",
                  R"([{"variant":"user","id":"u1"},)"
                  R"({"variant":"ai","id":"b1","timestamp":"2025-06-03T10:00:05Z","metadata":{"model":"qm-alpha",)"
                  R"("usage":{"inputTokens":60000,"outputTokens":15000,"credits":7}}}])");
}

void write_hermes(const fs::path& home) {
  kit::SqliteFile(home / ".hermes/state.db")
      .exec(kit::kHermesSessionsTable)
      .exec("INSERT INTO sessions (id, model, started_at, input_tokens, output_tokens, actual_cost_usd) "
            "VALUES ('h1', 'qm-alpha', 1748768400, 80000, 20000, 0.25)");
}

void write_pi(const fs::path& home) {
  kit::write_file(home / ".pi/agent/sessions/--work--/2025-06-02T10-00-00-000Z_p1.jsonl",
                  R"({"type":"message","timestamp":"2025-06-02T10:00:00.000Z","message":{"role":"assistant",)"
                  R"("model":"qm-alpha","usage":{"input":10000,"output":10000,"cacheRead":100000,"cacheWrite":0,)"
                  R"("totalTokens":120000}}})"
                  "\n");
}

void write_goose(const fs::path& home) {
  kit::SqliteFile(home / ".local/share/goose/sessions/sessions.db")
      .exec(kit::kGooseSessionsTable)
      .exec("INSERT INTO sessions (id, model_config_json, created_at, total_tokens, input_tokens, output_tokens) "
            "VALUES ('g1', '{\"model_name\":\"qm-alpha\"}', '2025-06-01 09:00:00', 30000, 25000, 5000)");
}

void write_openclaw(const fs::path& home) {
  kit::write_file(home / ".openclaw/agents/main/sessions/oc1.jsonl",
                  R"({"type":"model_change","modelId":"qm-alpha","provider":"qmlab"})"
                  "\n"
                  R"({"type":"message","timestamp":"2025-06-03T11:00:00Z","message":{"role":"assistant",)"
                  R"("usage":{"input":20000,"output":4000,"totalTokens":24000,"cost":{"total":0.3}}}})"
                  "\n");
}

void write_cursor(const fs::path& home) {
  cursor::test::state_db(home / ".config/Cursor/User/globalStorage/state.vscdb",
                         {{std::string("cursorAuth/accessToken"), std::string("cursor-token")}});
}

void write_copilot(const fs::path& home) {
  // 2025-06-01T10:00:00Z; the reported input holds the 100,000 cached tokens.
  kit::write_file(home / ".copilot/otel/export.jsonl",
                  R"({"type":"span","name":"chat qm-alpha","traceId":"t1","spanId":"s1","endTime":[1748772000,0],)"
                  R"("attributes":{"gen_ai.operation.name":"chat","gen_ai.request.model":"qm-alpha",)"
                  R"("gen_ai.usage.input_tokens":300000,"gen_ai.usage.cache_read.input_tokens":100000,)"
                  R"("gen_ai.usage.output_tokens":10000,"session.id":"cp1"}})"
                  "\n");
}

void write_gemini(const fs::path& home) {
  kit::write_file(home / ".gemini/tmp/abc/chats/session-1.json",
                  R"({"sessionId":"g1","startTime":"2025-06-02T09:00:00Z","messages":[{"type":"user","content":"hi"},)"
                  R"({"type":"gemini","id":"m1","model":"qm-alpha","timestamp":"2025-06-02T09:00:05Z",)"
                  R"("tokens":{"input":90000,"output":10000,"cached":0,"thoughts":0,"total":100000}}]})");
}

void write_kimi(const fs::path& home) {
  kit::write_file(home / ".kimi/config.json", R"({"model":"qm-alpha"})");
  // 2025-06-03T10:00:00Z in seconds.
  kit::write_file(home / ".kimi/sessions/group/k1/wire.jsonl",
                  R"({"timestamp":1748944800.5,"message":{"type":"StatusUpdate","payload":{"message_id":"w1",)"
                  R"("token_usage":{"input_other":40000,"output":10000,"input_cache_read":0,"input_cache_creation":0,)"
                  R"("total":50000}}}})"
                  "\n");
}

void write_qwen(const fs::path& home) {
  kit::write_file(home / ".qwen/projects/work/chats/chat1.jsonl",
                  R"({"type":"user","timestamp":"2025-06-01T11:59:00Z"})"
                  "\n"
                  R"({"type":"assistant","timestamp":"2025-06-01T12:00:00Z","sessionId":"q1","model":"qm-alpha",)"
                  R"("usageMetadata":{"promptTokenCount":20000,"candidatesTokenCount":5000,"totalTokenCount":25000}})"
                  "\n");
}

// Cursor's usage per day: 2025-06-01 priced from the list, nothing on 2025-06-02, a recorded
// $1.50 on 2025-06-03.
std::vector<kit::ScriptedResponse> cursor_days() {
  return {{200, {}, R"({"aggregations":[{"modelIntent":"qm-alpha","inputTokens":"100000","outputTokens":25000}]})"},
          {200, {}, R"({"aggregations":[]})"},
          {200, {}, R"({"aggregations":[{"modelIntent":"qm-alpha","inputTokens":10000,"cacheReadTokens":500000,)"
                    R"("totalCents":150}]})"}};
}

struct AgentFigures {
  const char* agent;
  std::vector<std::string> days;
  std::uint64_t input, output, cache_write, cache_read, tokens;
  double cost;
};

// Worked out from the fixture at the prices above; tokens add all classes and reasoning.
const AgentFigures kAgents[] = {
    // 0.1 + 0.04 + 0.04 + 0.02
    {"claude", {"2025-06-01"}, 100000, 10000, 20000, 200000, 330000, 0.20},
    // day 1: 150,000 fresh input 0.15 + 50,000 cached 0.005 + output 0.08; day 2: 0.1 + 0.04
    {"codex", {"2025-06-01", "2025-06-02"}, 250000, 30000, 0, 50000, 330000, 0.375},
    // the recorded cost, not the computed 0.07
    {"opencode", {"2025-06-02"}, 50000, 5000, 0, 0, 55000, 0.5},
    // 0.04 + 0.04 + 0.01
    {"amp", {"2025-06-02"}, 40000, 10000, 0, 100000, 150000, 0.09},
    // 0.03 + the thinking tokens priced as output, (5,000 + 5,000) x 4e-6
    {"droid", {"2025-06-03"}, 30000, 5000, 0, 0, 40000, 0.07},
    // 0.06 + 0.06
    {"codebuff", {"2025-06-03"}, 60000, 15000, 0, 0, 75000, 0.12},
    // the recorded actual cost, not the computed 0.16
    {"hermes", {"2025-06-01"}, 80000, 20000, 0, 0, 100000, 0.25},
    // 0.01 + 0.04 + 0.01
    {"pi", {"2025-06-02"}, 10000, 10000, 0, 100000, 120000, 0.06},
    // 0.025 + 0.02
    {"goose", {"2025-06-01"}, 25000, 5000, 0, 0, 30000, 0.045},
    // the recorded total
    {"openclaw", {"2025-06-03"}, 20000, 4000, 0, 0, 24000, 0.3},
    // 0.07 + 0.04
    {"kilo", {"2025-06-02"}, 70000, 10000, 0, 0, 80000, 0.11},
    // day 1: 0.1 + 0.1; day 3: the recorded 150 cents
    {"cursor", {"2025-06-01", "2025-06-03"}, 110000, 25000, 0, 500000, 635000, 1.7},
    // 200,000 fresh input 0.2 + 100,000 cached 0.01 + output 0.04
    {"copilot", {"2025-06-01"}, 200000, 10000, 0, 100000, 310000, 0.25},
    // 0.09 + 0.04
    {"gemini", {"2025-06-02"}, 90000, 10000, 0, 0, 100000, 0.13},
    // 0.04 + 0.04
    {"kimi", {"2025-06-03"}, 40000, 10000, 0, 0, 50000, 0.08},
    // 0.02 + 0.02
    {"qwen", {"2025-06-01"}, 20000, 5000, 0, 0, 25000, 0.04},
};

struct DayFigures {
  const char* date;
  std::uint64_t tokens;
  double cost;
};

// The merged rows: the sums of the agents' shares of each day.
const DayFigures kDays[] = {
    // claude, codex, hermes, goose, cursor, copilot, qwen
    {"2025-06-01", 330000 + 220000 + 100000 + 30000 + 125000 + 310000 + 25000,
     0.20 + 0.235 + 0.25 + 0.045 + 0.2 + 0.25 + 0.04},
    // codex, opencode, amp, pi, kilo, gemini
    {"2025-06-02", 110000 + 55000 + 150000 + 120000 + 80000 + 100000, 0.14 + 0.5 + 0.09 + 0.06 + 0.11 + 0.13},
    // droid, codebuff, openclaw, cursor, kimi
    {"2025-06-03", 40000 + 75000 + 24000 + 510000 + 50000, 0.07 + 0.12 + 0.3 + 1.5 + 0.08},
};

constexpr double kTolerance = 1e-9;  // sums of binary fractions

void write_fixture(const fs::path& home) {
  write_claude(home);
  write_codex(home);
  write_opencode_and_kilo(home);
  write_amp(home);
  write_droid(home);
  write_codebuff(home);
  write_hermes(home);
  write_pi(home);
  write_goose(home);
  write_openclaw(home);
  write_cursor(home);
  write_copilot(home);
  write_gemini(home);
  write_kimi(home);
  write_qwen(home);
}

// The price list and Cursor's service of a run over the fixture.
struct Services {
  kit::HttpServer prices, cursor;
  Services() {
    prices.on("/prices.json", kit::ScriptedResponse{200, {}, kPriceList});  // models.dev: 404
    cursor.on(cursor::test::kEventsPath, cursor_days());
  }
  kit::RunOptions options(const fs::path& home) {
    kit::RunOptions o;
    o.env = kit::base_env(home.string());
    o.env["QUILLIMARE_LITELLM_URL"] = prices.url("/prices.json");
    o.env["QUILLIMARE_MODELS_DEV_URL"] = prices.url("/models.json");
    o.env["QUILLIMARE_CURSOR_API_URL"] = cursor.url();
    return o;
  }
};

const std::vector<std::string> kSummary = {QM_BINARY, "summary", "--since", "2025-06-01", "--until", "2025-06-03", "--json"};

// The document holds every agent's figures and the days and totals worked out above.
void expect_fixture_figures(const std::string& doc) {
  using kit::json_at, kit::json_number, kit::json_size, kit::json_string;
  std::map<std::string, std::string> agents;  // where in the document each agent is
  for (std::size_t i = 0; i < json_size(doc, "/agents"); ++i)
    agents[json_string(doc, "/agents/" + std::to_string(i) + "/agent")] = "/agents/" + std::to_string(i);
  EXPECT_EQ(agents.size(), std::size(kAgents));
  double cost_sum = 0;
  std::uint64_t token_sum = 0;
  for (const auto& want : kAgents) {
    SCOPED_TRACE(want.agent);
    cost_sum += want.cost;
    token_sum += want.tokens;
    auto it = agents.find(want.agent);
    ASSERT_NE(it, agents.end());
    const std::string& got = it->second;
    EXPECT_NEAR(json_number(doc, got + "/totalCost"), want.cost, kTolerance);
    EXPECT_EQ(json_at(doc, got + "/totalTokens"), std::to_string(want.tokens));
    EXPECT_EQ(json_at(doc, got + "/tokenBreakdown"),
              "{\"cacheRead\":" + std::to_string(want.cache_read) + ",\"cacheWrite\":" + std::to_string(want.cache_write) +
                  ",\"input\":" + std::to_string(want.input) + ",\"output\":" + std::to_string(want.output) + "}");
    std::vector<std::string> days;
    for (std::size_t d = 0; d < json_size(doc, got + "/daily"); ++d)
      days.push_back(json_string(doc, got + "/daily/" + std::to_string(d) + "/date"));
    EXPECT_EQ(days, want.days);
  }

  ASSERT_EQ(json_size(doc, "/daily"), std::size(kDays));
  for (std::size_t i = 0; i < std::size(kDays); ++i) {
    const std::string got = "/daily/" + std::to_string(i);
    EXPECT_EQ(json_string(doc, got + "/date"), kDays[i].date);
    EXPECT_EQ(json_at(doc, got + "/tokens"), std::to_string(kDays[i].tokens)) << kDays[i].date;
    EXPECT_NEAR(json_number(doc, got + "/cost"), kDays[i].cost, kTolerance) << kDays[i].date;
  }

  // The grand total is the sum of the agents' totals: 4.32 and 2,454,000 tokens.
  EXPECT_NEAR(json_number(doc, "/totals/totalCost"), cost_sum, kTolerance);
  EXPECT_NEAR(cost_sum, 4.32, kTolerance);
  EXPECT_EQ(json_at(doc, "/totals/totalTokens"), std::to_string(token_sum));
  EXPECT_EQ(token_sum, 2454000u);

  // One model under three names: the two agents that label theirs, and everyone else's merged.
  std::map<std::string, std::pair<std::string, double>> models;  // tokens as written, cost
  for (std::size_t i = 0; i < json_size(doc, "/models"); ++i) {
    const std::string m = "/models/" + std::to_string(i);
    models[json_string(doc, m + "/model")] = {json_at(doc, m + "/totalTokens"), json_number(doc, m + "/totalCost")};
  }
  ASSERT_EQ(models.size(), 3u);
  EXPECT_EQ(models["[pi] qm-alpha"].first, "120000");
  EXPECT_EQ(models["[openclaw] qm-alpha"].first, "24000");
  EXPECT_EQ(models["qm-alpha"].first, std::to_string(2454000u - 120000 - 24000));
  EXPECT_NEAR(models["qm-alpha"].second, 4.32 - 0.06 - 0.3, kTolerance);
}

TEST(SixteenAgents, OneRunFindsEveryAgentAndAddsUpItsUsage) {
  kit::TempDir home;
  write_fixture(home.path());
  Services services;
  kit::Snapshot fixture(home.path());
  auto run = kit::run(kSummary, services.options(home.path()));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fixture.unchanged());
  EXPECT_EQ(services.cursor.requests().size(), 3u);  // one per day of the range
  expect_fixture_figures(run.out);
}

// A file that cannot be read: its owner's (this user's) rights taken away.
void write_unreadable(const fs::path& path, const std::string& content) {
  kit::write_file(path, content);
  fs::permissions(path, fs::perms::none);
}

// `text` with its first `from` replaced by `to`.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
  return text.replace(text.find(from), from.size(), to);
}

// Beside the fixture's files, files its agents cannot read, each holding usage that would
// change the figures; and lines they cannot read in the fixture's own files.
void write_bad_files(const fs::path& home) {
  auto copy = [&](const char* from) { return kit::read_file(home / from); };
  write_unreadable(home / ".claude/projects/-work/s2.jsonl", replaced(copy(".claude/projects/-work/s1.jsonl"), "msg_1", "msg_2"));
  write_unreadable(home / ".codex/sessions/2025/06/02/rollout-2.jsonl",
                   replaced(copy(".codex/sessions/2025/06/01/rollout-1.jsonl"), "06-01T09", "06-01T10"));
  auto stored = kit::assistant_message("qm-alpha", "qmlab", kit::message_tokens(7000, 1000), kDay2At10Ms);
  stored.id = "o2";
  kit::write_file(home / ".local/share/opencode/storage/message/s1/m1.json", replaced(stored.text(), "o2", "o2\xff"));
  kit::write_file(home / ".local/share/amp/threads/T-2.json",
                  replaced(copy(".local/share/amp/threads/T-1.json"), "T-1", "T-2\xc3"));
  // Two Droid sessions: one not UTF-8, one cut short; the first in path order is named.
  const std::string droid = copy(".factory/sessions/-work/d1.settings.json");
  kit::write_file(home / ".factory/sessions/-work/d3.settings.json", replaced(droid, "qm-alpha", "qm-\xe9"));
  kit::write_file(home / ".factory/sessions/-work/d4.settings.json", droid.substr(0, droid.size() - 2));
  kit::write_file(home / ".config/manicode/projects/work/chats/2025-06-03T11-00-00.000Z/chat-messages.json",
                  replaced(copy(".config/manicode/projects/work/chats/2025-06-03T10-00-00.000Z/chat-messages.json"), "b1",
                           "b2\xc0\xaf"));
  // A pi log whose last line a crash cut inside a character, and a log it cannot open.
  const char* pi_log = ".pi/agent/sessions/--work--/2025-06-02T10-00-00-000Z_p1.jsonl";
  const std::string pi_line = copy(pi_log);
  kit::write_file(home / pi_log, pi_line + pi_line.substr(0, 60) + "\xe2\x82");
  write_unreadable(home / ".pi/agent/sessions/--work--/2025-06-02T11-00-00-000Z_p2.jsonl", pi_line);
  // A folder of OpenClaw logs that cannot be listed.
  kit::write_file(home / ".openclaw/agents/other/sessions/oc2.jsonl", copy(".openclaw/agents/main/sessions/oc1.jsonl"));
  fs::permissions(home / ".openclaw/agents/other", fs::perms::none);
  kit::write_file(home / ".copilot/otel/export.jsonl",
                  copy(".copilot/otel/export.jsonl") + replaced(copy(".copilot/otel/export.jsonl"), "t1", "t2\xff"));
  kit::write_file(home / ".gemini/tmp/abc/chats/session-2.json",
                  replaced(copy(".gemini/tmp/abc/chats/session-1.json"), "g1", "g2\xff"));
  kit::write_file(home / ".kimi/sessions/group/k1/wire.jsonl",
                  replaced(copy(".kimi/sessions/group/k1/wire.jsonl"), "w1", "w2\xff") + copy(".kimi/sessions/group/k1/wire.jsonl"));
  write_unreadable(home / ".qwen/projects/work/chats/chat2.jsonl",
                   replaced(copy(".qwen/projects/work/chats/chat1.jsonl"), "q1", "q2"));
}

TEST(SixteenAgents, AFileThatCannotBeReadCostsOnlyItsOwnUsageAndIsSaid) {
  kit::TempDir home;
  write_fixture(home.path());
  write_bad_files(home.path());
  Services services;
  std::vector<std::string> argv = kSummary;
  if (::geteuid() == 0) {  // root reads anything: a user of its own runs over its home
    for (const auto& entry : fs::recursive_directory_iterator(home.path()))
      ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
    ASSERT_EQ(::lchown(home.path().c_str(), 65534, 65534), 0);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  auto run = kit::run(argv, services.options(home.path()));
  fs::permissions(home / ".openclaw/agents/other", fs::perms::owner_all);
  ASSERT_EQ(run.status, 0) << run.err;
  expect_fixture_figures(run.out);
  const std::string h = home.path().string();
  EXPECT_EQ(run.err,
            "WARN  Could not read 1 Claude file; its usage is not counted: " + h +
                "/.claude/projects/-work/s2.jsonl: Permission denied\n"
                "WARN  Could not read 1 Codex file; its usage is not counted: " + h +
                "/.codex/sessions/2025/06/02/rollout-2.jsonl: Permission denied\n"
                "WARN  Could not read 1 OpenCode file; its usage is not counted: " + h +
                "/.local/share/opencode/storage/message/s1/m1.json: not valid UTF-8\n"
                "WARN  Could not read 1 Amp file; its usage is not counted: " + h +
                "/.local/share/amp/threads/T-2.json: not valid UTF-8\n"
                "WARN  Could not read 2 Droid files; their usage is not counted. First: " + h +
                "/.factory/sessions/-work/d3.settings.json: not valid UTF-8\n"
                "WARN  Could not read 1 Codebuff file; its usage is not counted: " + h +
                "/.config/manicode/projects/work/chats/2025-06-03T11-00-00.000Z/chat-messages.json: not valid UTF-8\n"
                "WARN  Could not read 1 pi-agent file; its usage is not counted: " + h +
                "/.pi/agent/sessions/--work--/2025-06-02T11-00-00-000Z_p2.jsonl: Permission denied\n"
                "WARN  Could not read 1 OpenClaw file; its usage is not counted: " + h +
                "/.openclaw/agents/other: Permission denied\n"
                "WARN  Could not read 1 Gemini CLI file; its usage is not counted: " + h +
                "/.gemini/tmp/abc/chats/session-2.json: not valid UTF-8\n"
                "WARN  Could not read 1 Qwen file; its usage is not counted: " + h +
                "/.qwen/projects/work/chats/chat2.jsonl: Permission denied\n");
}

}  // namespace
}  // namespace qm
