// The Kilo reader over real databases.
#include "adapter/kilo/reader.h"

#include <gtest/gtest.h>

#include "adapter/opencode/message_tables.h"
#include "kit/env.h"
#include "kit/reader.h"
#include "kit/run.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"

namespace qm::kilo {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kJune1 = kit::kJune1Ms;

kit::Message message(std::string model, std::string tokens, std::int64_t created) {
  return kit::assistant_message(std::move(model), "anthropic", std::move(tokens), created);
}
using kit::message_db;
std::string tokens(std::uint64_t input, std::uint64_t output, std::uint64_t reasoning = 0) {
  return kit::message_tokens(input, output, reasoning);
}
kit::SqlRow row(std::string id, const kit::Message& data) { return kit::message_row(std::move(id), data); }

// Never falls back to the models.dev tables.
pricing::PricingTable prices() {
  return kit::price_table({
      {"anthropic/claude-x", {1e-6, 1e-6}},
      {"open_router/or-m", {0, 0}},  // priced, at nothing: still the first priced name
      {"or-m", {1e-3, 1e-3}},
      {"kilo/k-m", {0, 0}},  // never tried: provider kilo prices the model alone
      {"k-m", {1e-3, 1e-3}},
  });
}

TEST(KiloReader, AssistantMessagesOfEveryDatabaseCountedOnce) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KILO_DATA_DIR", (t / "one").string() + "," + (t / "gone").string() + "," + (t / "two").string());
  auto with_id = message("claude-x", tokens(10, 5, 2), kJune1);
  with_id.id = "msg_a";
  auto seconds = message("claude-x", R"({"input":4,"output":1,"total":20})", kJune1 / 1000 + 60);
  auto user = message("claude-x", tokens(1000, 0), kJune1);
  user.role = "user";
  auto no_role = message("claude-x", tokens(1000, 0), kJune1);
  no_role.role.reset();
  std::string latin1 = message("claude-x", tokens(1000, 0), kJune1).text();
  latin1.insert(1, "\"title\":\"caf\xe9\",");  // not UTF-8: read with U+FFFD in its place
  message_db(t / "one/kilo.db", {
                                    {"8", "ses_1", latin1},
                                    row("1", with_id),   // 2 reasoning tokens priced as output
                                    row("2", seconds),   // ten digits: seconds; 15 short of the total: reasoning
                                    row("3", user),
                                    row("4", no_role),
                                    row("5", message("claude-x", tokens(0, 0), kJune1)),
                                    row("6", message("claude-x", tokens(1000, 0), 0)),
                                    row("7", message("  ", tokens(1000, 0), kJune1)),
                                });
  // msg_a again (by its own id), and the same id column in another database (another path).
  message_db(t / "two/kilo.db", {row("9", with_id), row("2", message("claude-x", tokens(100, 0), kJune1))});
  kit::Snapshot files(t.path());
  auto table = prices();
  auto got = load_kilo_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(files.unchanged());
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);
  const ModelUsage* claude = kit::model_usage(got->rows[0], "claude-x");
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->input, 1000u + 10 + 4 + 100);
  EXPECT_EQ(claude->output, 5u + 1);
  EXPECT_EQ(claude->reasoning, 2u + 15);
  EXPECT_DOUBLE_EQ(claude->cost, (1000 + 10 + 7 + 4 + 16 + 100) * 1e-6);
}

// Valid JSON is read however deep a member the reader never looks at nests.
TEST(KiloReader, MessagesNestingDeepInAMemberNeverReadCount) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KILO_DATA_DIR", (t / "one").string());
  std::vector<kit::SqlRow> rows;
  for (std::size_t depth : {127, 128, 900}) {
    std::string data = message("claude-x", tokens(1000, 0), kJune1).text();
    std::string deep;
    for (std::size_t i = 0; i < depth; ++i) deep += R"({"p":)";
    deep += "1" + std::string(depth, '}');
    data.insert(1, R"("parts":)" + deep + ",");
    rows.push_back({std::to_string(depth), "ses_1", data});
  }
  message_db(t / "one/kilo.db", rows);
  auto table = prices();
  EXPECT_EQ(kit::input_tokens(load_kilo_usage(kit::reader_options(), table)), 3000u);
}

TEST(KiloReader, CostModesAndPriceCandidates) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("KILO_DATA_DIR", (t / "one").string());
  auto with_cost = [](kit::Message m, std::string cost) {
    m.cost = std::move(cost);
    return m;
  };
  auto free_model = message("or-m", tokens(10, 0), kJune1);
  free_model.provider = "open-router";
  auto kilo_model = message("k-m", tokens(10, 0), kJune1);
  kilo_model.provider = "kilo";
  message_db(t / "one/kilo.db", {
                                    row("zero", with_cost(message("none-m", tokens(10, 0), kJune1), "0")),
                                    row("paid", with_cost(message("claude-x", tokens(10, 0), kJune1), "0.25")),
                                    row("negative", with_cost(message("claude-x", tokens(20, 0), kJune1), "-5")),
                                    row("priced", message("claude-x", tokens(30, 0), kJune1)),
                                    row("free", free_model),
                                    row("kilo", kilo_model),
                                });
  struct Case {
    CostMode mode;
    double claude, none_m, or_m, k_m;
    bool none_unpriced;
  } cases[] = {
      // auto: a recorded cost whatever its value, a negative one counts as absent
      {CostMode::Auto, 0.25 + 20e-6 + 30e-6, 0, 0, 10e-3, true},
      {CostMode::Calculate, 60e-6, 0, 0, 10e-3, true},
      {CostMode::Display, 0.25, 0, 0, 0, false},
  };
  auto table = prices();
  for (const auto& c : cases) {
    auto got = load_kilo_usage(kit::reader_options(c.mode), table);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    const auto& day = got->rows[0];
    EXPECT_DOUBLE_EQ(kit::model_usage(day, "claude-x")->cost, c.claude);
    EXPECT_DOUBLE_EQ(kit::model_usage(day, "none-m")->cost, c.none_m);
    EXPECT_DOUBLE_EQ(kit::model_usage(day, "or-m")->cost, c.or_m);  // open_router/or-m is priced first, at 0
    EXPECT_DOUBLE_EQ(kit::model_usage(day, "k-m")->cost, c.k_m);
    EXPECT_EQ(kit::model_usage(day, "none-m")->unpriced, c.none_unpriced);
    EXPECT_FALSE(kit::model_usage(day, "claude-x")->unpriced);
  }

  using Names = std::vector<std::string>;
  EXPECT_EQ(price_candidates("m", "open-router"), (Names{"open_router/m", "m"}));
  EXPECT_EQ(price_candidates("m", "kilo"), Names{"m"});
  EXPECT_EQ(price_candidates("m", "unknown"), Names{"m"});
  EXPECT_EQ(price_candidates("m", std::nullopt), Names{"m"});
}

TEST(KiloReader, DefaultDirectoryAndNoHome) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("KILO_DATA_DIR").unset("XDG_DATA_HOME");
  message_db(home / ".local/share/kilo/kilo.db", {row("1", message("claude-x", tokens(3, 0), kJune1))});
  auto table = prices();
  auto found = load_kilo_usage(kit::reader_options(), table);
  ASSERT_TRUE(found) << found.error();
  ASSERT_EQ(found->rows.size(), 1u);
  EXPECT_EQ(found->rows[0].input, 3u);

  kit::unset_home(env);
  auto no_home = load_kilo_usage(kit::reader_options(), table);
  ASSERT_TRUE(no_home);  // nothing found, and no error
  EXPECT_FALSE(no_home->detected);
}

}  // namespace
}  // namespace qm::kilo
