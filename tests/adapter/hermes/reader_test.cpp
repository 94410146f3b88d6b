// The Hermes reader over real state databases.
#include "adapter/hermes/reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>


#include "kit/env.h"
#include "kit/reader.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "adapter/hermes/session_table.h"
#include "kit/sqlite.h"

namespace qm::hermes {
namespace {

namespace fs = std::filesystem;
using kit::SqlRow;

constexpr std::int64_t operator""_n(unsigned long long v) { return static_cast<std::int64_t>(v); }
const std::nullptr_t null = nullptr;
constexpr double kJune1 = 1'748'736'000;  // 2025-06-01T00:00:00Z in seconds
constexpr double kInf = std::numeric_limits<double>::infinity();

// id, model, billing_provider, started_at, messages, input, output, cache read, cache write, reasoning, estimated, actual
void state_db(const fs::path& path, const std::vector<SqlRow>& rows) {
  kit::SqliteFile(path).exec(kit::kHermesSessionsTable).insert(
      "sessions",
      {"id", "model", "billing_provider", "started_at", "message_count", "input_tokens", "output_tokens",
       "cache_read_tokens", "cache_write_tokens", "reasoning_tokens", "estimated_cost_usd", "actual_cost_usd"},
      rows);
}

// Never falls back to the models.dev tables.
pricing::PricingTable prices() {
  return kit::price_table({
      {"claude-x", {1e-6, 2e-6, 1e-6, 1e-7}},
      {"openai/free", {0, 0, 1e-6, 1e-7}},  // priced at nothing: the next name is tried
      {"free", {1e-5, 1e-5, 1e-6, 1e-7}},
  });
}

all::loader::LoadOptions options(bool debug = false) {
  auto o = kit::reader_options(CostMode::Display);  // Hermes costs follow one rule whatever the mode
  o.common.debug = debug;
  return o;
}

TEST(HermesReader, SessionsAtTheirRecordedCostElsePricedOnceAcrossDatabases) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("HERMES_HOME", " " + (t / "one").string() + " , ,  " + (t / "two").string() + ",");
  state_db(t / "one/state.db",
           {
               // half a second in seconds: 500 ms; 100 reasoning tokens priced as output
               {"s1", " claude-x ", null, kJune1 + 0.5, 3_n, 1000_n, 200_n, 300_n, 400_n, 100_n, null, null},
               {"s2", "claude-x", null, kJune1, 1_n, 10_n, 0_n, 0_n, 0_n, 0_n, 0.42, null},       // estimated
               {"s3", "claude-x", null, kJune1, 1_n, 10_n, 0_n, 0_n, 0_n, 0_n, 0.42, 0.0},        // actual 0: priced
               {"s4", "claude-x", null, kJune1, 1_n, 10_n, 0_n, 0_n, 0_n, 0_n, null, -1.0},       // negative: 0, priced
               {"s4i", "claude-x", null, kJune1, 1_n, 10_n, 0_n, 0_n, 0_n, 0_n, 0.3, kInf},      // infinite: 0, priced
               {"s5", "claude-x", null, kJune1 * 1000 + 7, 1_n, 0_n, 0_n, 0_n, 0_n, 0_n, null, 0.10},  // ms; cost only
               {"s6", "free", "OpenAI-Codex", kJune1, 1_n, 100_n, 0_n, 0_n, 0_n, 0_n, null, null},  // openai/free, free
               {"s7", "unknown-m", null, kJune1, 1_n, 5_n, -9_n, 0_n, 0_n, 0_n, null, null},     // unpriced
               // passed over
               {"p1", "claude-x", null, kJune1, 1_n, 0_n, 0_n, 0_n, 0_n, 0_n, null, null},  // nothing to count
               {"p2", "claude-x", null, 0.0, 1_n, 5_n, 0_n, 0_n, 0_n, 0_n, null, null},
               {"p3", "claude-x", null, -5.0, 1_n, 5_n, 0_n, 0_n, 0_n, 0_n, null, null},
               {"", "claude-x", null, kJune1, 1_n, 5_n, 0_n, 0_n, 0_n, 0_n, null, null},
               {"p4", "   ", null, kJune1, 1_n, 5_n, 0_n, 0_n, 0_n, 0_n, null, null},
               {"p5", "claude-x", null, null, 1_n, 5_n, 0_n, 0_n, 0_n, 0_n, null, null},
           });
  state_db(t / "two/state.db", {
                                   {"s1", "claude-x", null, kJune1 + 86'400, 1_n, 999_n, 0_n, 0_n, 0_n, 0_n, null, null},
                                   {"t1", "claude-x", null, kJune1 + 86'400, 1_n, 1_n, 0_n, 0_n, 0_n, 0_n, null, null},
                               });
  kit::Snapshot files(t.path());
  auto table = prices();
  auto got = load_hermes_usage(options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(files.unchanged());
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 2u);

  const UsageRow& day1 = got->rows[0];
  EXPECT_EQ(day1.label, "2025-06-01");
  EXPECT_EQ(day1.agent_id, "hermes");
  const ModelUsage* claude = kit::model_usage(day1, "claude-x");
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->input, 1000u + 10 + 10 + 10 + 10);
  EXPECT_EQ(claude->output, 200u);
  EXPECT_EQ(claude->reasoning, 100u);
  EXPECT_EQ(claude->cache_read, 300u);
  EXPECT_EQ(claude->cache_creation, 400u);
  const double s1 = 1000 * 1e-6 + 300 * 2e-6 + 400 * 1e-6 + 300 * 1e-7;
  EXPECT_DOUBLE_EQ(claude->cost, s1 + 0.42 + 10e-6 + 10e-6 + 10e-6 + 0.10);
  const ModelUsage* free = kit::model_usage(day1, "free");
  ASSERT_TRUE(free);
  EXPECT_DOUBLE_EQ(free->cost, 100 * 1e-5);
  EXPECT_FALSE(free->unpriced);
  const ModelUsage* unknown = kit::model_usage(day1, "unknown-m");
  ASSERT_TRUE(unknown);
  EXPECT_TRUE(unknown->unpriced);
  EXPECT_EQ(unknown->output, 0u);  // a negative count reads as 0

  const UsageRow& day2 = got->rows[1];  // s1 of the second database is the first's again
  EXPECT_EQ(day2.label, "2025-06-02");
  EXPECT_EQ(day2.input, 1u);
}

TEST(HermesReader, StartedAtInSecondsOrMilliseconds) {
  struct Case {
    double value;
    std::optional<std::int64_t> ms;
  } cases[] = {
      {kJune1 + 0.5, 1'748'736'000'500}, {kJune1 * 1000 + 0.9, 1'748'736'000'000}, {1e12, 1'000'000'000'000'000},
      {0.0, std::nullopt},               {-1.0, std::nullopt},                    {1e300, std::nullopt},
      {std::nan(""), std::nullopt},      {kInf, std::nullopt},
      {-kInf, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(started_at_ms(c.value), c.ms) << c.value;
}

TEST(HermesReader, PricePrefixFromTheBillingProviderElseTheModel) {
  struct Case {
    std::string model;
    std::optional<std::string> billing;
    std::string prefix;
    std::vector<std::string> names;
  } cases[] = {
      {"m", " OpenAI-Codex ", "openai", {"openai/m", "m"}},
      {"m", "Claude", "anthropic", {"anthropic/m", "m"}},
      {"m", "vertex-ai", "google", {"google/m", "m"}},
      {"m", "Mistral", "mistral", {"mistral/m", "m"}},
      {"m", "hermes", "hermes", {"m"}},
      {"O3-mini", std::nullopt, "openai", {"openai/O3-mini", "O3-mini"}},
      {"oxide", "  ", "hermes", {"oxide"}},
      {"Claude/opus", std::nullopt, "anthropic", {"anthropic/Claude/opus", "Claude/opus"}},
      {"ChatGPT-4o", std::nullopt, "openai", {"openai/ChatGPT-4o", "ChatGPT-4o"}},
      {"gemini/flash", std::nullopt, "google", {"google/gemini/flash", "gemini/flash"}},
      {"ollama/llama3", std::nullopt, "hermes", {"ollama/llama3"}},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> billing;
    if (c.billing) billing = *c.billing;
    const std::string prefix = price_prefix(c.model, billing);
    EXPECT_EQ(prefix, c.prefix) << c.model;
    EXPECT_EQ(price_candidates(c.model, prefix), c.names) << c.model;
  }
}

TEST(HermesReader, RootsFromTheVariableElseTheHome) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("HERMES_HOME");
  state_db(home / ".hermes/state.db", {{"a", "claude-x", null, kJune1, 1_n, 7_n, 0_n, 0_n, 0_n, 0_n, null, null}});
  auto table = prices();
  auto found = load_hermes_usage(options(), table);
  ASSERT_TRUE(found) << found.error();
  ASSERT_EQ(found->rows.size(), 1u);
  EXPECT_EQ(found->rows[0].input, 7u);

  env.set("HERMES_HOME", " , ,");  // set, but naming nothing: no root and no default
  auto none = load_hermes_usage(options(), table);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);

  kit::SqliteFile(home / "other/state.db").exec("CREATE TABLE other (x)");
  env.set("HERMES_HOME", (home / "other").string() + "," + (home / "other").string());
  EXPECT_EQ(state_dbs()->size(), 1u);
  testing::internal::CaptureStderr();
  auto broken = load_hermes_usage(options(true), table);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to read Hermes state database: " + (home / "other/state.db").string() + "\n");
  ASSERT_TRUE(broken);  // a database it cannot query is no failure
  EXPECT_FALSE(broken->detected);

  env.unset("HERMES_HOME");
  kit::unset_home(env);
  EXPECT_EQ(load_hermes_usage(options(), table).error(), "home directory is not set");
}

}  // namespace
}  // namespace qm::hermes
