// The database readers in the agent table, run as a user runs them: each found below the
// home, its rows in the document, its database read while its agent writes and left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "adapter/goose/session_table.h"
#include "adapter/hermes/session_table.h"
#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"
#include "kit/sqlite_writer.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

std::string assistant(std::string_view model, int input, std::string_view created) {
  return R"({"role":"assistant","modelID":")" + std::string(model) + R"(","providerID":"anthropic","tokens":{"input":)" +
         std::to_string(input) + R"(,"output":0},"time":{"created":)" + std::string(created) + "}}";
}

TEST(DatabaseReaders, FoundBelowTheHomeAndReadWhileTheirAgentsWrite) {
  kit::TempDir home;
  auto run = [&] {
    kit::RunOptions o;
    o.env = kit::base_env(home.path().string());
    return kit::run({QM_BINARY, "summary", "--agents", "kilo,hermes,opencode", "--offline", "--json"}, o);
  };
  kit::SqliteFile(home / ".hermes/state.db")
      .exec(kit::kHermesSessionsTable)
      .exec("INSERT INTO sessions (id, model, started_at, input_tokens) VALUES ('s', 'claude-sonnet-4-5', 1748736000, 20)");
  kit::SqliteFile(home / ".local/share/kilo/kilo.db")
      .exec("CREATE TABLE message (id TEXT, session_id TEXT, data TEXT)")
      .exec("INSERT INTO message VALUES ('k', 's', '" + assistant("claude-sonnet-4-5", 300, "1748736000") + "')");
  const fs::path opencode_db = home / ".local/share/opencode/opencode.db";
  {
    kit::SqliteFile agent(opencode_db);
    agent.wal()
        .exec("CREATE TABLE message (id TEXT PRIMARY KEY, session_id TEXT, data TEXT)")
        .exec("INSERT INTO message VALUES ('a', 's', '" + assistant("claude-sonnet-4-5", 4000, "1748736000000") + "')")
        .exec("BEGIN IMMEDIATE; INSERT INTO message VALUES ('b', 's', '" +
              assistant("claude-sonnet-4-5", 50000, "1748736000000") + "')");
    kit::Snapshot file(opencode_db);
    auto held = run();
    ASSERT_EQ(held.status, 0) << held.err;
    std::vector<std::string> agents;
    for (std::size_t i = 0; i < kit::json_size(held.out, "/agents"); ++i)
      agents.push_back(kit::json_string(held.out, "/agents/" + std::to_string(i) + "/agent"));
    std::sort(agents.begin(), agents.end());
    EXPECT_EQ(agents, (std::vector<std::string>{"hermes", "kilo", "opencode"}));
    EXPECT_EQ(kit::json_number(held.out, "/totals/totalTokens"), 4000 + 20 + 300);  // the open transaction is not seen
    EXPECT_TRUE(file.unchanged());
  }
  kit::Snapshot all(home.path());  // the agent closed its database: nothing beside it is made
  auto closed = run();
  ASSERT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(kit::json_number(closed.out, "/totals/totalTokens"), 4000 + 20 + 300);
  EXPECT_TRUE(all.unchanged());
}

// A database whose table reads as corrupt past its first rows: its rows are not counted, also
// not as the first copy of a row that another database holds too, and the warning names it.
TEST(DatabaseReaders, AnUnreadableDatabaseCountsNoneOfItsRowsAndIsNamed) {
  kit::TempDir home;
  const std::string pad(1000, 'p');  // rows of a page or so each, before the corrupt one
  auto broken = [&](const fs::path& db, std::string_view marker) { kit::corrupt_page_holding(db, marker); };

  // Hermes and Kilo keep the first copy of an id over their databases, OpenCode over its directories.
  kit::SqliteFile(home / "hermes-a/state.db")
      .exec(kit::kHermesSessionsTable)
      .exec("INSERT INTO sessions (id, model, started_at, input_tokens) VALUES ('s', 'claude-sonnet-4-5', 1748736000, 100)")
      .exec("WITH RECURSIVE i(r) AS (SELECT 1 UNION ALL SELECT r + 1 FROM i WHERE r < 20) "
            "INSERT INTO sessions (id, billing_provider) SELECT 'pad' || r, '" + pad + "' FROM i")
      .exec("INSERT INTO sessions (id, model, started_at, input_tokens) VALUES ('m', 'marker-h', 1748736000, 7)");
  broken(home / "hermes-a/state.db", "marker-h");
  kit::SqliteFile(home / "hermes-b/state.db")
      .exec(kit::kHermesSessionsTable)
      .exec("INSERT INTO sessions (id, model, started_at, input_tokens) VALUES ('s', 'claude-sonnet-4-5', 1748736000, 1000)");

  auto messages = [&](const fs::path& db, std::string_view id, int input, bool torn) {
    kit::SqliteFile file(db);
    file.exec("CREATE TABLE message (id TEXT PRIMARY KEY, session_id TEXT, data TEXT)")
        .exec("INSERT INTO message VALUES ('" + std::string(id) + "', 's', '" +
              assistant("claude-sonnet-4-5", input, "1748736000").insert(1, "\"id\":\"" + std::string(id) + "\",") + "')");
    if (!torn) return;
    file.exec("WITH RECURSIVE i(r) AS (SELECT 1 UNION ALL SELECT r + 1 FROM i WHERE r < 20) "
              "INSERT INTO message SELECT 'pad' || r, 's', '{\"role\":\"user\",\"pad\":\"" + pad + "\"}' FROM i")
        .exec("INSERT INTO message VALUES ('m', 's', '" + assistant("marker-k", 9, "1748736000") + "')");
  };
  messages(home / "kilo-a/kilo.db", "k", 300, true);
  broken(home / "kilo-a/kilo.db", "marker-k");
  messages(home / "kilo-b/kilo.db", "k", 3000, false);
  kit::write_file(home / "kilo-c/kilo.db", std::string(4096, 'j'));  // not a database at all
  messages(home / "opencode-a/opencode.db", "o", 40, true);
  broken(home / "opencode-a/opencode.db", "marker-k");
  messages(home / "opencode-b/opencode.db", "o", 4000, false);

  // Goose counts a session once per database; both of its places hold one.
  const fs::path goose_a = home / ".local/share/goose/sessions/sessions.db";
  kit::SqliteFile(goose_a)
      .exec(kit::kGooseSessionsTable)
      .exec("INSERT INTO sessions (id, model_config_json, created_at, input_tokens) VALUES "
            "('g', '{\"model_name\":\"claude-sonnet-4-5\"}', '2025-06-01 08:00:00', 50)")
      .exec("WITH RECURSIVE i(r) AS (SELECT 1 UNION ALL SELECT r + 1 FROM i WHERE r < 20) "
            "INSERT INTO sessions (id, provider_name) SELECT 'pad' || r, '" + pad + "' FROM i")
      .exec("INSERT INTO sessions (id, model_config_json, created_at, input_tokens) VALUES "
            "('m', '{\"model_name\":\"marker-g\"}', '2025-06-01 08:00:00', 5)");
  broken(goose_a, "marker-g");
  kit::SqliteFile(home / ".local/share/Block/goose/sessions/sessions.db")
      .exec(kit::kGooseSessionsTable)
      .exec("INSERT INTO sessions (id, model_config_json, created_at, input_tokens) VALUES "
            "('g', '{\"model_name\":\"claude-sonnet-4-5\"}', '2025-06-01 08:00:00', 5000)");

  kit::RunOptions o;
  o.env = kit::base_env(home.path().string());
  o.env["HERMES_HOME"] = (home / "hermes-a").string() + "," + (home / "hermes-b").string();
  o.env["KILO_DATA_DIR"] = (home / "kilo-a").string() + "," + (home / "kilo-b").string() + "," + (home / "kilo-c").string();
  o.env["OPENCODE_DATA_DIR"] = (home / "opencode-a").string() + "," + (home / "opencode-b").string();
  for (const char* threads : {"", "--single-thread"}) {
    std::vector<std::string> args{QM_BINARY, "summary", "--agents", "goose,hermes,kilo,opencode", "--offline", "--json"};
    if (*threads) args.push_back(threads);
    auto run = kit::run(args, o);
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::uint64_t> tokens;
    for (std::size_t i = 0; i < kit::json_size(run.out, "/agents"); ++i) {
      const std::string agent = "/agents/" + std::to_string(i);
      tokens[kit::json_string(run.out, agent + "/agent")] =
          static_cast<std::uint64_t>(kit::json_number(run.out, agent + "/totalTokens"));
    }
    EXPECT_EQ(tokens, (std::map<std::string, std::uint64_t>{{"goose", 5000}, {"hermes", 1000}, {"kilo", 3000},
                                                             {"opencode", 4000}}))
        << threads;
    const std::string malformed = ": database disk image is malformed\n";
    for (const std::string& line : {
             "WARN  Could not read 1 OpenCode file; its usage is not counted: " + (home / "opencode-a/opencode.db").string() + malformed,
             "WARN  Could not read 1 Hermes file; its usage is not counted: " + (home / "hermes-a/state.db").string() + malformed,
             "WARN  Could not read 1 Goose file; its usage is not counted: " + fs::canonical(goose_a).string() + malformed,
             "WARN  Could not read 2 Kilo files; their usage is not counted. First: " + (home / "kilo-a/kilo.db").string() + malformed,
         })
      EXPECT_NE(run.err.find(line), std::string::npos) << line << "\nin:\n" << run.err;
  }
}

}  // namespace
}  // namespace qm
