// The Goose reader over real sessions databases.
#include "adapter/goose/reader.h"

#include <gtest/gtest.h>


#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/reader.h"
#include "kit/pricing.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "adapter/goose/session_table.h"
#include "kit/sqlite.h"

namespace qm::goose::parser {
namespace {

namespace fs = std::filesystem;
using kit::SqlRow;

// id, model, provider, created_at, total, input, output, accumulated total, input, output
SqlRow session(std::string id, const std::string& model, kit::SqlValue provider, kit::SqlValue created,
               std::vector<kit::SqlValue> counts) {
  SqlRow row{std::move(id), "{\"model_name\":\"" + model + "\",\"temperature\":0.2}", std::move(provider),
             std::move(created)};
  row.insert(row.end(), counts.begin(), counts.end());
  return row;
}
constexpr std::int64_t operator""_n(unsigned long long v) { return static_cast<std::int64_t>(v); }

kit::SqliteFile& sessions_db(kit::SqliteFile& db, const std::vector<SqlRow>& rows) {
  db.exec(kit::kGooseSessionsTable).insert("sessions",
                          {"id", "model_config_json", "provider_name", "created_at", "total_tokens", "input_tokens",
                           "output_tokens", "accumulated_total_tokens", "accumulated_input_tokens",
                           "accumulated_output_tokens"},
                          rows);
  return db;
}

pricing::PricingTable prices() {
  return kit::price_table({
      {"claude-x", {1e-6, 2e-6}},
      {"o3", {0.0, 0.0}},  // priced, but at nothing: the provider's name is tried next
      {"openai/o3", {1e-5, 1e-5}},
      {"google_vertex/gem", {3e-6, 3e-6}},
  });
}

all::loader::LoadOptions options(bool debug = false) {
  CommonOptions o;
  o.timezone = "UTC";
  o.debug = debug;
  o.mode = CostMode::Display;  // Goose costs are computed whatever the mode
  return all::loader::make_load_options(o);
}

TEST(GooseReader, SessionRowsBecomeDailyRowsPricedUnderTheFirstNameWithACost) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("GOOSE_PATH_ROOT", t.path().string());
  const auto n = nullptr;
  {
    kit::SqliteFile db(t / "data/sessions/sessions.db");
    sessions_db(db, {
        // total 1000 of 600 + 300: 100 reasoning tokens, priced as output
        session("s1", "claude-x", n, "2025-06-01 08:30:00", {1000_n, 600_n, 300_n, n, n, n}),
        // the accumulated input wins over the plain one; seconds since the epoch
        session("s2", "claude-x", "  ", "1748764800", {n, 500_n, 10_n, 0_n, 800_n, n}),
        session("s3", "gem", "google-vertex", "1748764800000", {n, 100_n, 100_n, n, n, n}),
        session("s4", "o3", n, "2025-06-01T23:30:00-02:00", {n, 10_n, 10_n, n, n, n}),  // 06-02 in UTC
        session("s5", "Claude-3", n, "2025-06-01", {n, 7_n, 0_n, n, n, n}),
        // a configuration that is not UTF-8: read with U+FFFD in place of the bad byte
        SqlRow{"s6", "{\"model_name\":\"claude-x\",\"note\":\"caf\xe9\"}", n, "2025-06-03", n, 40_n, 0_n, n, n, n},
        // passed over
        session("s1", "claude-x", n, "2025-06-01", {n, 1_n, 1_n, n, n, n}),  // an id met before in this database
        session("p1", "claude-x", n, "2025/06/01", {n, 1_n, 1_n, n, n, n}),
        session("p2", "claude-x", n, "0", {n, 1_n, 1_n, n, n, n}),
        session("p3", "claude-x", n, n, {n, 1_n, 1_n, n, n, n}),
        session("p4", "  ", n, "2025-06-01", {n, 1_n, 1_n, n, n, n}),
        session("p5", "claude-x", n, "2025-06-01", {0_n, 0_n, 0_n, -5_n, n, n}),
        SqlRow{"p6", "{not json", n, "2025-06-01", n, 1_n, 1_n, n, n, n},
        SqlRow{"p7", " ", n, "2025-06-01", n, 1_n, 1_n, n, n, n},
        SqlRow{n, "{\"model_name\":\"claude-x\"}", n, "2025-06-01", n, 1_n, 1_n, n, n, n},
    });
  }
  auto table = prices();
  auto got = load_goose_usage(options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 3u);
  EXPECT_EQ(got->rows[2].input, 40u);

  const UsageRow& day1 = got->rows[0];
  EXPECT_EQ(day1.label, "2025-06-01");
  EXPECT_EQ(day1.agent_id, "goose");
  EXPECT_EQ(day1.models, (std::vector<std::string>{"Claude-3", "claude-x", "gem"}));  // by time
  const ModelUsage* claude = kit::model_usage(day1, "claude-x");
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->input, 600u + 800u);
  EXPECT_EQ(claude->output, 300u + 10u);
  EXPECT_EQ(claude->reasoning, 100u);
  EXPECT_DOUBLE_EQ(claude->cost, 600 * 1e-6 + 400 * 2e-6 + 800 * 1e-6 + 10 * 2e-6);
  const ModelUsage* gem = kit::model_usage(day1, "gem");
  ASSERT_TRUE(gem);
  EXPECT_DOUBLE_EQ(gem->cost, 200 * 3e-6);  // as google_vertex/gem
  EXPECT_FALSE(gem->unpriced);
  const ModelUsage* unpriced = kit::model_usage(day1, "Claude-3");  // "claude-" is case-sensitive: provider goose
  ASSERT_TRUE(unpriced);
  EXPECT_EQ(unpriced->cost, 0.0);
  EXPECT_TRUE(unpriced->unpriced);
  EXPECT_EQ(day1.total, 1000u + 810u + 200u + 7u);

  const UsageRow& day2 = got->rows[1];
  EXPECT_EQ(day2.label, "2025-06-02");
  EXPECT_EQ(day2.models, std::vector<std::string>{"o3"});
  EXPECT_DOUBLE_EQ(day2.cost, 20 * 1e-5);  // o3 costs nothing, openai/o3 does
}

TEST(GooseReader, CreatedAtForms) {
  const std::int64_t june1 = 1'748'736'000'000;  // 2025-06-01T00:00:00Z
  struct Case {
    std::string text;
    std::optional<std::int64_t> ms;
  } cases[] = {
      {"1748736000", june1},
      {"+1748736000", june1},
      {"1748736000123", june1 + 123},
      {"1000000000000", 1'000'000'000'000'000},  // not above 10^12: seconds
      {"0", std::nullopt},
      {"-5", std::nullopt},
      {"9223372036854775807", 9'223'372'036'854'775'807},
      {"9223372036854775808", std::nullopt},  // no integer, no time
      {"2025-06-01", june1},
      {"2025-06-01 08:30:00", june1 + 30'600'000},
      {"2025-06-01T08:30:00", june1 + 30'600'000},
      {"2025-06-01T08:30:00+02:00", june1 + 23'400'000},
      {"1969-12-31", -86'400'000},
      {"2025/06/01", std::nullopt},
      {"2025-06-01x08:30:00", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(created_at_ms(c.text), c.ms) << c.text;
}

TEST(GooseReader, ProviderFromTheColumnElseFromTheModel) {
  struct Case {
    std::string model;
    std::optional<std::string> column;
    std::string provider;
  } cases[] = {
      {"x", " google-vertex ", "google_vertex"}, {"claude-3", "  ", "anthropic"}, {"o3", std::nullopt, "openai"},
      {"gpt-4o", std::nullopt, "openai"},        {"chatgpt-4o", std::nullopt, "openai"},
      {"gemini-2.5", std::nullopt, "google"},     {"Qwen3-coder", std::nullopt, "openrouter"},
      {"Claude-3", std::nullopt, "goose"},        {"llama", std::nullopt, "goose"},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> column;
    if (c.column) column = *c.column;
    EXPECT_EQ(provider_for(c.model, column), c.provider) << c.model;
  }
}

TEST(GooseReader, RootVariableDefaultPlacesAndOneReadPerDatabase) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("XDG_DATA_HOME");
  const fs::path main_db = home / ".local/share/goose/sessions/sessions.db";
  {
    kit::SqliteFile db(main_db);
    sessions_db(db, {session("a", "claude-x", nullptr, "2025-06-01", {nullptr, 1_n, 1_n, nullptr, nullptr, nullptr})});
  }
  // The same database under the data home and under the maker's directory: read once.
  fs::create_directories(home / "data/goose");
  fs::create_directory_symlink(main_db.parent_path(), home / "data/goose/sessions");
  fs::create_directories(home / ".local/share/Block/goose");
  fs::create_directory_symlink(main_db.parent_path(), home / ".local/share/Block/goose/sessions");
  env.set("XDG_DATA_HOME", (home / "data").string());
  ASSERT_EQ(session_db_candidates()->size(), 3u);
  EXPECT_EQ(session_dbs(), std::vector<fs::path>{fs::canonical(main_db)});

  auto table = prices();
  for (const char* blank : {"", "   "}) {  // a blank root counts as unset
    env.set("GOOSE_PATH_ROOT", blank);
    auto got = load_goose_usage(options(), table);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_EQ(got->rows[0].input, 1u);
  }

  env.set("GOOSE_PATH_ROOT", (home / "elsewhere").string());  // the only place searched
  auto elsewhere = load_goose_usage(options(), table);
  ASSERT_TRUE(elsewhere);
  EXPECT_FALSE(elsewhere->detected);

  kit::SqliteFile(home / "elsewhere/data/sessions/sessions.db").exec("CREATE TABLE other (x)");
  testing::internal::CaptureStderr();
  auto broken = load_goose_usage(options(true), table);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to read Goose database: " + fs::canonical(home / "elsewhere/data/sessions/sessions.db").string() + "\n");
  ASSERT_TRUE(broken);  // a database it cannot query is no failure
  EXPECT_FALSE(broken->detected);

  env.unset("GOOSE_PATH_ROOT").unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  EXPECT_EQ(load_goose_usage(options(), table).error(), "home directory is not set");
}

TEST(GooseReader, ADatabaseItsAgentIsWritingIsReadAndLeftAsItWas) {
  kit::TempDir home;
  const fs::path db_path = home / ".local/share/goose/sessions/sessions.db";
  auto run = [&] {
    std::vector<std::string> argv{QM_BINARY, "summary", "--agents", "goose", "--offline", "--json", "--timezone", "UTC"};
    kit::RunOptions o;
    o.env = kit::base_env(home.path().string());
    return kit::run(argv, o);
  };
  {
    kit::SqliteFile agent(db_path);
    sessions_db(agent.wal(), {session("a", "claude-x", nullptr, "2025-06-01", {nullptr, 5_n, 5_n, nullptr, nullptr, nullptr})});
    agent.exec("BEGIN IMMEDIATE; INSERT INTO sessions (id, model_config_json, created_at, input_tokens) "
               "VALUES ('b', '{\"model_name\":\"claude-x\"}', '2025-06-01', 1000)");
    kit::Snapshot file(db_path);
    auto held = run();
    ASSERT_EQ(held.status, 0) << held.err;
    ASSERT_EQ(kit::json_size(held.out, "/daily"), 1u);
    EXPECT_EQ(kit::json_number(held.out, "/daily/0/tokens"), 10);  // the committed session only
    EXPECT_TRUE(file.unchanged());
  }
  kit::Snapshot dir(db_path.parent_path());  // closed: no log beside it now
  auto closed = run();
  ASSERT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(kit::json_size(closed.out, "/daily"), 1u);
  EXPECT_TRUE(dir.unchanged());  // no -wal or -shm made by the reader
}

}  // namespace
}  // namespace qm::goose::parser
