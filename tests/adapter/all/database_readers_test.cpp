// The database readers in the agent table, run as a user runs them: each found below the
// home, its rows in the document, its database read while its agent writes and left as it was.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "adapter/hermes/session_table.h"
#include "kit/env.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"

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
    auto doc = nlohmann::json::parse(held.out);
    std::vector<std::string> agents;
    for (const auto& a : doc["agents"]) agents.push_back(a["agent"]);
    std::sort(agents.begin(), agents.end());
    EXPECT_EQ(agents, (std::vector<std::string>{"hermes", "kilo", "opencode"}));
    EXPECT_EQ(doc["totals"]["totalTokens"], 4000 + 20 + 300);  // the open transaction is not seen
    EXPECT_TRUE(file.unchanged());
  }
  kit::Snapshot all(home.path());  // the agent closed its database: nothing beside it is made
  auto closed = run();
  ASSERT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(nlohmann::json::parse(closed.out)["totals"]["totalTokens"], 4000 + 20 + 300);
  EXPECT_TRUE(all.unchanged());
}

}  // namespace
}  // namespace qm
