// The OpenCode reader over real databases and older message stores.
#include "adapter/opencode/reader.h"

#include <gtest/gtest.h>

#include <cmath>

#include "adapter/opencode/loader.h"
#include "adapter/opencode/message_rows.h"
#include "adapter/opencode/message_tables.h"
#include "kit/env.h"
#include "kit/reader.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"

namespace qm::opencode::report {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kJune1 = kit::kJune1Ms;
constexpr std::int64_t kDay = kit::kDayMs;

kit::Message message(std::string model, std::string provider, std::string tokens, std::int64_t created) {
  return kit::assistant_message(std::move(model), std::move(provider), std::move(tokens), created);
}
std::string tokens(std::uint64_t input, std::uint64_t output) { return kit::message_tokens(input, output); }
using kit::message_db;
kit::SqlRow row(std::string id, const kit::Message& data) { return kit::message_row(std::move(id), data); }

// Never falls back to the models.dev tables.
pricing::PricingTable prices() {
  return kit::price_table({
      {"claude-x", {1e-6, 2e-6, 1e-6, 1e-7}},
      {"free-m", {0, 0, 1e-6, 1e-7}},  // priced at nothing: the provider's name is tried next
      {"anthropic/free-m", {1e-5, 1e-5, 1e-6, 1e-7}},
  });
}

all::loader::LoadOptions options(CostMode mode, bool debug, bool single_thread) {
  auto o = kit::reader_options(mode);
  o.common.debug = debug;
  o.common.single_thread = single_thread;
  return o;
}

// The reader with the test's price table, counting how often it is loaded.
struct Reader {
  int loads = 0;
  AgentLoadResult operator()(CostMode mode = CostMode::Auto, bool debug = false, bool single_thread = false) {
    return load_opencode_usage(options(mode, debug, single_thread), [this] {
      ++loads;
      return prices();
    });
  }
};

TEST(OpenCodeReader, MessagesOfTwoDirectoriesCountedOncePricedUnderTheFirstPositiveName) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("OPENCODE_DATA_DIR", (t / "one").string() + ", " + (t / "two").string());
  auto with_total = message("claude-x", "anthropic", R"({"input":10,"output":5,"total":40})", kJune1);
  auto recorded = message("nowhere-m", "x", tokens(7, 0), kJune1 + 1);
  recorded.cost = "0.5";
  auto negative = message("claude-x", "anthropic", tokens(100, 0), kJune1 + 2);
  negative.cost = "-2.0";  // would lower the totals: priced instead
  auto timeless = message("claude-x", "anthropic", tokens(1000, 0), kJune1);
  timeless.created.reset();
  auto no_provider = message("claude-x", "anthropic", tokens(1000, 0), kJune1);
  no_provider.provider.reset();
  message_db(t / "one/opencode.db",
             {
                 row("m1", with_total),  // output 5 and 25 reasoning, priced as 30 output
                 row("m2", recorded),
                 row("m3", negative),
                 row("m4", message("free-m", "anthropic", tokens(100, 0), kJune1 + 3)),
                 row("m5", message("nowhere-m", "x", tokens(0, 3), kJune1 + 4)),  // unpriced
                 row("dup", message("claude-x", "anthropic", tokens(1, 0), kJune1 + 5)),
                 // passed over
                 row("p1", timeless),
                 row("p2", no_provider),
                 row("p3", message("claude-x", "anthropic", tokens(0, 0), kJune1)),
                 {"p4", "ses_1",
                  R"({"modelID":"claude-x","providerID":"anthropic","time":{"created":)" + std::to_string(kJune1) + "}}"},
                 {"p5", "ses_1", "{not json"},
                 {"p6", nullptr, with_total.text()},
             });
  // The older store of the first directory: "dup" counts as the database has it.
  auto stored = message("claude-x", "anthropic", tokens(2000, 0), kJune1 + kDay);
  stored.id = "stored-1";
  kit::write_file(t / "one/storage/message/ses_1/a.json", stored.text());
  auto stored_dup = message("claude-x", "anthropic", tokens(999, 0), kJune1);
  stored_dup.id = "dup";
  kit::write_file(t / "one/storage/message/ses_1/b.json", stored_dup.text());
  kit::write_file(t / "one/storage/message/ses_1/c.json", "{broken");
  kit::write_file(t / "one/storage/message/ses_1/d.txt", stored.text());
  // The second directory: the first channel database in path order; m1 was counted already.
  message_db(t / "two/opencode-beta.db", {row("b1", message("claude-x", "anthropic", tokens(5000, 0), kJune1))});
  message_db(t / "two/opencode-alpha.db", {row("m1", with_total), row("a1", message("claude-x", "anthropic", tokens(3, 0), kJune1 + kDay))});

  kit::Snapshot files(t.path());
  Reader read;
  auto got = read();
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(files.unchanged());
  EXPECT_EQ(read.loads, 1);  // one price table for the run, not one per directory
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 2u);

  const UsageRow& day1 = got->rows[0];
  EXPECT_EQ(day1.label, "2025-06-01");
  EXPECT_EQ(day1.agent_id, "opencode");
  EXPECT_EQ(day1.models, (std::vector<std::string>{"claude-x", "nowhere-m", "free-m"}));
  const ModelUsage* claude = kit::model_usage(day1, "claude-x");
  ASSERT_TRUE(claude);
  EXPECT_EQ(claude->input, 10u + 100 + 1);
  EXPECT_EQ(claude->output, 5u);
  EXPECT_EQ(claude->reasoning, 25u);
  EXPECT_DOUBLE_EQ(claude->cost, 10 * 1e-6 + 30 * 2e-6 + 100 * 1e-6 + 1e-6);
  const ModelUsage* free = kit::model_usage(day1, "free-m");
  ASSERT_TRUE(free);
  EXPECT_DOUBLE_EQ(free->cost, 100 * 1e-5);  // as anthropic/free-m
  const ModelUsage* nowhere = kit::model_usage(day1, "nowhere-m");
  ASSERT_TRUE(nowhere);
  EXPECT_DOUBLE_EQ(nowhere->cost, 0.5);
  EXPECT_TRUE(nowhere->unpriced);  // m5 has no price and no recorded cost

  const UsageRow& day2 = got->rows[1];
  EXPECT_EQ(day2.label, "2025-06-02");
  EXPECT_EQ(day2.input, 2000u + 3);
  EXPECT_DOUBLE_EQ(day2.cost, 2003 * 1e-6);
}

TEST(OpenCodeReader, ManyMessagesGiveTheSameRowsOnOneThreadAndOnMany) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("OPENCODE_DATA_DIR", (t / "one").string());
  std::vector<kit::SqlRow> rows;
  const char* models[] = {"claude-x", "free-m", "nowhere-m"};
  for (int i = 0; i < 9000; ++i) {  // several batches; equal times, costs whose sum depends on their order
    auto m = message(models[i % 3], "anthropic", tokens(static_cast<std::uint64_t>(i % 50), 1), kJune1 + (i % 7) * kDay / 3);
    if (i % 4 == 0) m.cost = i % 8 == 0 ? "10000000000000.0" : "0.1";
    const std::string id = "m" + std::to_string(i % 8500);  // some ids repeat
    rows.push_back(i % 10 ? row(id, m) : kit::SqlRow{id, "ses_1", R"({"role":"user"})"});
  }
  message_db(t / "one/opencode.db", rows);
  Reader read;
  auto one = read(CostMode::Auto, false, true);
  auto many = read(CostMode::Auto, false, false);
  ASSERT_TRUE(one && many);
  EXPECT_EQ(one->rows.size(), 3u);
  EXPECT_EQ(one->rows, many->rows);
}

TEST(OpenCodeReader, MembersNamedWithEscapesAreRead) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("OPENCODE_DATA_DIR", (t / "one").string());
  const std::string escaped = R"({"modelID":"claude-x","providerID":"anthropic","tok\u0065ns":{"input":1000},"time":{"created":)" +
                              std::to_string(kJune1) + "}}";
  message_db(t / "one/opencode.db", {{"e", "ses_1", escaped}});
  Reader read;
  auto got = read();
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].input, 1000u);
}

// The one pass over a message's members finds what a lookup of each key finds: the first of
// repeated keys, keys spelt with escapes, nothing in other values or in a longer or shorter
// key, nothing at all in what is no object.
TEST(OpenCodeReader, MembersOfOnePassAreThoseOfAKeyLookup) {
  const std::string docs[] = {
      R"({"role":"assistant","tokens":{"input":1,"output":2,"cache":{"read":3,"write":4,"read":9},"input":7},"id":"a",)"
      R"("modelID":"m","providerID":"p","time":{"created":1},"cost":0.5,"id":"b","role":"user","tokens":{}})",
      R"({"rol\u0065":"assistant","i\u0064":"x","modelIDs":"m","modelI":"n","providerId":"p","costs":1,"tim":{},)"
      R"("Tokens":{"input":1},"tokens":{"inputs":1,"Input":2,"reasoning":3,"total":4,"cache":[1]}})",
      R"({"nested":{"id":"z","tokens":{"input":1}},"list":[{"modelID":"q"}],"cost":"1"})",
      R"(["id","tokens"])",
      R"("tokens")",
      R"(null)",
  };
  qm::json::StrictParser parser;
  for (const auto& text : docs) {
    const auto doc = parser.parse_copy(text);
    ASSERT_TRUE(doc) << text;
    static constexpr std::array<std::string_view, 7> kKeys{"role", "tokens", "modelID", "providerID", "time", "id", "cost"};
    const auto want = reader::members(*doc, kKeys);
    const message::Members got = message::members_of(*doc);
    const reader::MaybeElement in_order[] = {got.role, got.tokens, got.model_id, got.provider_id, got.time, got.id, got.cost};
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
      ASSERT_EQ(in_order[k].has_value(), want[k].has_value()) << text << " " << kKeys[k];
      if (want[k]) EXPECT_EQ(simdjson::minify(*in_order[k]), simdjson::minify(*want[k])) << text << " " << kKeys[k];
    }
    for (bool reasoning : {false, true}) {
      const auto t = message::tokens_of(got.tokens, reasoning);
      const auto from_lookups = [&] {
        static constexpr std::array<std::string_view, 5> kTokenKeys{"input", "output", "cache", "reasoning", "total"};
        const auto [input, output, cache, reasoned, total] = reader::members(got.tokens, kTokenKeys);
        const auto [write, read] = reader::members(cache, std::array<std::string_view, 2>{"write", "read"});
        TokenUsageRaw block;
        block.input = reader::count_or_zero(input);
        block.output = reader::count_or_zero(output);
        block.cache_creation = reader::count_or_zero(write);
        block.cache_read = reader::count_or_zero(read);
        return all::types::reconcile_token_total(block, reasoning ? reader::count_or_zero(reasoned) : 0,
                                                 reader::count_or_zero(total));
      }();
      EXPECT_EQ(t.block.input, from_lookups.block.input) << text;
      EXPECT_EQ(t.block.output, from_lookups.block.output) << text;
      EXPECT_EQ(t.block.cache_creation, from_lookups.block.cache_creation) << text;
      EXPECT_EQ(t.block.cache_read, from_lookups.block.cache_read) << text;
      EXPECT_EQ(t.extra, from_lookups.extra) << text;
    }
  }
  for (std::string_view text : {R"("claude")", R"(" claude\t")", R"("\u00a0claude\u2009")", R"("c\u2009")", R"(" ")",
                                 R"("")", R"("é")", R"(1)", R"(-0.0)", R"(-1)", R"(1.5)", R"(1e400)", R"(18446744073709551615)",
                                 R"({"created":12,"created":13})", R"({"created":1.0})", R"({"Created":1})", R"([12])",
                                 R"(null)"}) {
    const auto doc = parser.parse_copy(text);
    ASSERT_TRUE(doc) << text;
    EXPECT_EQ(message::string(*doc), reader::string(*doc)) << text;
    EXPECT_EQ(message::text(*doc), reader::text(*doc)) << text;
    const auto amount = message::amount(*doc);
    ASSERT_EQ(amount.has_value(), reader::amount(*doc).has_value()) << text;
    if (amount) EXPECT_EQ(std::signbit(*amount), std::signbit(*reader::amount(*doc))) << text;
    EXPECT_EQ(amount, reader::amount(*doc)) << text;
    EXPECT_EQ(message::created(*doc), reader::integer(reader::at(*doc, "created"))) << text;
  }
  for (auto none : {message::string(std::nullopt), message::text(std::nullopt)}) EXPECT_EQ(none, std::nullopt);
  EXPECT_EQ(message::amount(std::nullopt), std::nullopt);
  EXPECT_EQ(message::created(std::nullopt), std::nullopt);
}

// The quick test passes over a message only when no member "tokens" can be in it, however
// its letters are spelt.
TEST(OpenCodeReader, TheQuickTestForTokensPassesOverOnlyWhatCannotHoldThem) {
  const std::pair<std::string_view, bool> cases[] = {
      {R"({"tokens":{}})", true},
      {R"({"x":"\u001b[0m","tokens":1})", true},
      {R"({"tok\u0065ns":1})", true},
      {R"({"\u0074okens":1})", true},
      {R"({"token\u0073":1})", true},
      {R"({"toke\u006Es":1})", true},
      {R"({"t\u006f\u006bens":1})", true},
      {R"({"summary":"no tok ens here","text":"\u001b[31m\u00e9\\u0074"})", false},
      {R"({"role":"user","text":"tokens"})", true},  // a text that says it: parsed, and has none
      {R"({"Tokens":1,"tokens_x":2})", false},
      {R"({"t":"\u0074"})", true},  // a letter of the name escaped anywhere
      {R"({"t":"\u00"})", false},
      {"", false},
  };
  for (const auto& [text, may] : cases) EXPECT_EQ(message::may_hold_tokens(text), may) << text;
}

// Valid JSON is read however deep a member the reader never looks at nests.
TEST(OpenCodeReader, MessagesNestingDeepInAMemberNeverReadCount) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("OPENCODE_DATA_DIR", (t / "one").string());
  auto nested = [](std::size_t depth) {
    std::string text = message("claude-x", "anthropic", tokens(1000, 0), kJune1).text();
    text.insert(1, R"("summary":)" + std::string(depth, '[') + std::string(depth, ']') + ",");
    return text;
  };
  message_db(t / "one/opencode.db", {{"a", "ses_1", nested(128)}, {"b", "ses_1", nested(900)}});
  kit::write_file(t / "one/storage/message/ses_1/c.json", nested(500));
  Reader read;
  EXPECT_EQ(kit::input_tokens(read()), 3000u);
}

TEST(OpenCodeReader, CostModesAndThePriceTable) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("OPENCODE_DATA_DIR", (t / "one").string());
  auto recorded = message("claude-x", "anthropic", tokens(7, 0), kJune1);
  recorded.cost = "0.5";
  message_db(t / "one/opencode.db", {row("r", recorded), row("c", message("nowhere-m", "x", tokens(10, 0), kJune1))});
  struct Case {
    CostMode mode;
    double cost;
    bool unpriced;
    int loads;
  } cases[] = {
      {CostMode::Auto, 0.5, true, 1},
      {CostMode::Calculate, 0.5, true, 1},  // a positive recorded cost wins here too
      {CostMode::Display, 0.5, false, 0},   // no table: computed costs are 0, nothing marked
  };
  for (const auto& c : cases) {
    Reader read;
    auto got = read(c.mode);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
    const ModelUsage* nowhere = kit::model_usage(got->rows[0], "nowhere-m");
    ASSERT_TRUE(nowhere);
    EXPECT_EQ(nowhere->unpriced, c.unpriced);
    EXPECT_EQ(read.loads, c.loads);
  }
  env.set("OPENCODE_DATA_DIR", (t / "gone").string());  // no directory: no table either
  Reader nothing;
  ASSERT_TRUE(nothing());
  EXPECT_EQ(nothing.loads, 0);
}

TEST(OpenCodeReader, PriceCandidates) {
  using Names = std::vector<std::string>;
  struct Case {
    std::string model, provider;
    Names names;
  } cases[] = {
      {"claude-opus-4.5", "anthropic",
       {"claude-opus-4.5", "claude-opus-4-5", "anthropic/claude-opus-4.5", "anthropic/claude-opus-4-5"}},
      {"claude-sonnet-45-20250929", "unknown", {"claude-sonnet-45-20250929", "claude-sonnet-4-5-20250929"}},
      {"claude-haiku-4-5", "amazon-bedrock", {"claude-haiku-4-5", "amazon_bedrock/claude-haiku-4-5"}},
      {"claude-opus-4.x", "a", {"claude-opus-4.x", "a/claude-opus-4.x"}},  // no digit after the dot
      {"claude-opus-4", "a", {"claude-opus-4", "a/claude-opus-4"}},
      {"gemini-3-pro-high", "google", {"gemini-3-pro-preview", "google/gemini-3-pro-preview"}},
      {"k2p6", "moonshot", {"kimi-k2.6", "moonshot/kimi-k2.6"}},
      {"gpt-5", "unknown", {"gpt-5"}},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_model(c.model, c.provider), c.names) << c.model;
}

TEST(OpenCodeReader, TheDatabaseOfADirectory) {
  kit::TempDir t;
  for (const char* name : {"opencode-beta.db", "opencode-alpha.db", "opencode-dev.1.db", "opencode-.x.db", "other.db"})
    kit::write_file(t / name, "");
  fs::create_directory(t / "opencode-dir.db");
  EXPECT_EQ(loader::channel_databases(t.path()), (std::vector<fs::path>{t / "opencode-alpha.db", t / "opencode-beta.db"}));
  EXPECT_EQ(loader::database_in(t.path()), t / "opencode-alpha.db");
  kit::write_file(t / "opencode.db", "");
  EXPECT_EQ(loader::database_in(t.path()), t / "opencode.db");
  EXPECT_EQ(loader::database_in(t / "missing"), std::nullopt);
  struct Case {
    std::string name;
    bool channel;
  } names[] = {{"opencode-beta.db", true}, {"opencode-Dev_2-x.db", true}, {"opencode-dev.1.db", false},
               {"opencode-é.db", false},   {"opencode.db", false},         {"opencode-beta.db-wal", false}};
  for (const auto& c : names) EXPECT_EQ(loader::is_channel_database(c.name), c.channel) << c.name;
}

TEST(OpenCodeReader, DataDirectoriesUnreadableStoreAndUnusableDatabases) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("OPENCODE_DATA_DIR").set("XDG_DATA_HOME", (home / "xdg").string());
  message_db(home / ".local/share/opencode/opencode.db", {row("a", message("claude-x", "anthropic", tokens(1, 0), kJune1))});
  message_db(home / "xdg/opencode/opencode.db", {row("b", message("claude-x", "anthropic", tokens(2, 0), kJune1))});
  Reader read;
  auto found = read();
  ASSERT_TRUE(found) << found.error();
  ASSERT_EQ(found->rows.size(), 1u);
  EXPECT_EQ(found->rows[0].input, 3u);  // the default directory and the one below XDG_DATA_HOME

  env.set("OPENCODE_DATA_DIR", (home / "gone").string());  // the only place, when set
  auto none = read();
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->detected);

  kit::SqliteFile(home / "d/opencode.db").exec("CREATE TABLE other (x)");
  env.set("OPENCODE_DATA_DIR", (home / "d").string());
  testing::internal::CaptureStderr();
  auto broken = read(CostMode::Auto, true);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to read OpenCode database: " + (home / "d/opencode.db").string() + "\n");
  ASSERT_TRUE(broken);  // a database it cannot query is no failure

  kit::write_file(home / "d/storage/message/s/m.json", "{\"id\":\"\xff\"}");
  kit::expect_one_unread(read(), 0, home / "d/storage/message/s/m.json", "not valid UTF-8");

  env.unset("OPENCODE_DATA_DIR");
  kit::unset_home(env);
  EXPECT_EQ(read().error(), "home directory is not set");
}

}  // namespace
}  // namespace qm::opencode::report
