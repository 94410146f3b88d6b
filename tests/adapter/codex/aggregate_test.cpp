// The Codex reader: events counted once, day totals, date ranges, rows and their cost.
#include "adapter/codex/aggregate.h"

#include <gtest/gtest.h>

#include "adapter/codex/usage_row.h"
#include "adapter/codex/rollout.h"
#include "adapter/codex/stateful_rollouts.h"
#include "kit/env.h"
#include "kit/reader.h"
#include "parallel.h"

namespace qm::codex::aggregate {
namespace {

using testing::quoted;
using testing::token_count;
using testing::turn_context;
using testing::Usage;

pricing::ModelPrice price(double input, double cache_read, double output, bool explicit_cache_read,
                          double fast = 1.0) {
  pricing::ModelPrice p;
  p.input = input;
  p.cache_read = cache_read;
  p.output = output;
  p.explicit_cache_read = explicit_cache_read;
  p.fast_multiplier = fast;
  return p;
}

pricing::PricingTable table() {
  pricing::PricingTable t;  // no models.dev fallback: unknown names stay unpriced
  t.prices["gpt-5"] = price(0.000002, 0.0000002, 0.00001, true);
  t.prices["gpt-5-codex"] = price(0.000002, 0.0000002, 0.00001, false);
  t.prices["gpt-5.4"] = price(0.000002, 0.0000002, 0.00001, true, 1.5);
  return t;
}

class CodexReader : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("HOME", home_.path().string()).unset("CODEX_HOME");
  }
  void write(const std::string& rel, const std::string& content) { kit::write_file(home_ / rel, content); }
  void homes(const std::vector<std::string>& rels) {
    std::string list;
    for (const auto& r : rels) list += (home_ / r).string() + ",";
    env_.set("CODEX_HOME", list);
  }
  AgentLoadResult load(std::optional<std::string> since = {}, bool single = false, std::string tz = "UTC",
                       std::optional<std::string> until = {}) {
    CommonOptions o;
    o.since = since;
    o.until = until;
    o.timezone = tz;
    o.single_thread = single;
    return load_codex_usage(all::loader::make_load_options(o), prices_);
  }

  kit::TempDir home_;
  kit::EnvGuard env_;
  pricing::PricingTable prices_ = table();
};

std::string day_events(int day, int n, std::uint64_t base) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += token_count(quoted(fmt::format("2025-10-{:02}T{:02}:00:00.000Z", day, i % 24)),
                     Usage{base + i, static_cast<std::uint64_t>(i), 10, 2, base + i + 12});
  return s;
}

TEST_F(CodexReader, NoSessionDirectoriesMeansNotDetected) {
  auto r = load();
  ASSERT_TRUE(r) << r.error();
  EXPECT_FALSE(r->detected);
  EXPECT_TRUE(r->rows.empty());

  env_.unset("HOME");
  EXPECT_EQ(load().error(), "home directory is not set");
}

TEST_F(CodexReader, OneRolloutInTwoHomesCountsOnceInBothModes) {
  std::string content = turn_context("gpt-5") + day_events(1, 3, 100);
  write("h1/sessions/2025/10/01/rollout-a.jsonl", content);
  write("h2/archived_sessions/rollout-a.jsonl", content);
  homes({"h1", "h2"});
  auto plain = load();
  auto ranged = load("20251001");
  ASSERT_TRUE(plain && ranged);
  ASSERT_EQ(plain->rows.size(), 1u);
  EXPECT_EQ(plain->rows[0].input + plain->rows[0].cache_read, 100u + 101 + 102);
  EXPECT_EQ(plain->rows, ranged->rows);
}

TEST_F(CodexReader, TwoSpellingsOfOneInstantCountOnceWithOrWithoutARange) {
  write(".codex/sessions/a.jsonl", token_count(quoted("2025-10-01T10:00:00Z"), Usage{1000, 0, 50, 0, 1050}));
  write(".codex/sessions/b.jsonl", token_count(quoted("2025-10-01T10:00:00.000Z"), Usage{1000, 0, 50, 0, 1050}));
  for (bool single : {true, false}) {
    auto plain = load({}, single);
    auto ranged = load("20250901", single, "UTC", "20251231");
    ASSERT_TRUE(plain && ranged);
    ASSERT_EQ(plain->rows.size(), 1u);
    EXPECT_EQ(plain->rows[0].input, 1000u);
    EXPECT_EQ(plain->rows, ranged->rows);
    // The greater text, whichever file came first.
    EXPECT_EQ(kit::metadata_text(plain->rows[0].metadata), R"({"lastActivity":"2025-10-01T10:00:00Z","reasoningOutputTokens":0})");
  }
}

TEST_F(CodexReader, SameRowsForOneAndManyWorkersAndInsideARange) {
  // Files of different sizes that share events, over several days.
  for (int f = 0; f < 12; ++f) {
    std::string content = turn_context(f % 3 ? "gpt-5" : "codex-auto-review");
    for (int d = 1 + f % 4; d <= 6; d += 2) content += day_events(d, 1 + (f * 7) % 9, 1000 * d);
    write(fmt::format(".codex/sessions/2025/10/{:02}/rollout-{}.jsonl", 1 + f % 5, f), content);
    if (f % 4 == 0) write(fmt::format(".codex/archived_sessions/copy-{}.jsonl", f), content);
  }
  auto one = load({}, true);
  auto many = load({}, false);
  ASSERT_TRUE(one && many);
  EXPECT_EQ(one->rows, many->rows);
  EXPECT_EQ(one->rows.size(), 6u);

  auto ranged = load("20251002", false, "UTC", "20251004");
  ASSERT_TRUE(ranged);
  ASSERT_EQ(ranged->rows.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(ranged->rows[i], one->rows[i + 1]);
}

TEST_F(CodexReader, DaysInTheReportZoneAndRangesAfterEverything) {
  write(".codex/sessions/a.jsonl", token_count(quoted("2025-10-01T16:30:00.000Z"), Usage{5, 0, 1, 0, 6}));
  auto tokyo = load({}, false, "Asia/Tokyo");
  ASSERT_TRUE(tokyo);
  ASSERT_EQ(tokyo->rows.size(), 1u);
  EXPECT_EQ(tokyo->rows[0].label, "2025-10-02");
  auto later = load("20260101");
  ASSERT_TRUE(later);
  EXPECT_TRUE(later->rows.empty());
  EXPECT_TRUE(later->detected);
}

TEST_F(CodexReader, AnUnparsableSessionTimestampFailsTheReader) {
  write(".codex/sessions/a.jsonl", token_count(quoted("2025-10-01T10:00:00.000Z"), Usage{5, 0, 1, 0, 6}) +
                                       token_count(quoted("2025-10-01T10:00:00.123456Z"), Usage{5, 0, 1, 0, 6}));
  write(".codex/sessions/b.jsonl", token_count(quoted("2025-10-02T10:00:00.000Z"), Usage{5, 0, 1, 0, 6}));
  for (auto since : {std::optional<std::string>{}, std::optional<std::string>{"20300101"}})
    for (bool single : {true, false}) {
      auto r = load(since, single);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), "Invalid Codex timestamp: 2025-10-01T10:00:00.123456Z");
    }
  // A zero report is never offered, so its timestamp is never read.
  write(".codex/sessions/a.jsonl", token_count(quoted("2025-10-01 10:00"), Usage{0, 0, 0, 0, 9}));
  EXPECT_TRUE(load());
}

TEST_F(CodexReader, RowsPricedPerModelWithTheServiceTier) {
  write(".codex/sessions/a.jsonl",
        turn_context("gpt-5") + token_count(quoted("2025-10-01T10:00:00.000Z"), Usage{600, 500, 30, 100, 730}) +
            token_count(quoted("2025-10-01T23:59:59.999Z"), Usage{400, 300, 20, 20, 440}) + turn_context("mystery-model") +
            token_count(quoted("2025-10-01T12:00:00.000Z"), Usage{10, 0, 5, 0, 15}));
  auto r = load();
  ASSERT_TRUE(r);
  ASSERT_EQ(r->rows.size(), 1u);
  const UsageRow& row = r->rows[0];
  EXPECT_EQ(row.agent_id, "codex");
  EXPECT_EQ(row.agents, std::vector<std::string>{"codex"});
  EXPECT_EQ(row.models, (std::vector<std::string>{"gpt-5", "mystery-model"}));
  EXPECT_EQ(row.input, 1010u - 800);
  EXPECT_EQ(row.cache_read, 800u);
  EXPECT_EQ(row.output, 55u);
  EXPECT_EQ(row.total, 1185u);
  EXPECT_NEAR(row.cost, 0.00106, 1e-12);
  ASSERT_EQ(row.model_usages.size(), 2u);
  EXPECT_EQ(row.model_usages[0].model, "gpt-5");
  EXPECT_EQ(row.model_usages[0].input, 200u);
  EXPECT_FALSE(row.model_usages[0].unpriced);
  EXPECT_EQ(row.model_usages[1].model, "mystery-model");
  EXPECT_EQ(row.model_usages[1].cost, 0.0);
  EXPECT_TRUE(row.model_usages[1].unpriced);
  EXPECT_EQ(kit::metadata_text(row.metadata), R"({"lastActivity":"2025-10-01T23:59:59.999Z","reasoningOutputTokens":120})");

  write(".codex/config.toml", "service_tier = \"fast\"\n");
  auto fast = load();
  ASSERT_TRUE(fast);
  EXPECT_NEAR(fast->rows[0].cost, 0.00212, 1e-12);  // a multiplier of 1 counts as 2
}

TEST(CodexRowCost, CachedInputAtTheCacheReadPriceOnlyWhenTheSourceGaveIt) {
  auto prices = table();
  CodexModelTotals t{{1000, 800, 50, 0, 1050}};
  using home::CodexServiceTier;
  EXPECT_NEAR(row_cost("gpt-5", t, prices, CodexServiceTier::Standard), 0.00106, 1e-12);
  EXPECT_NEAR(row_cost("gpt-5", t, prices, CodexServiceTier::Fast), 0.00212, 1e-12);
  EXPECT_NEAR(row_cost("gpt-5.4", t, prices, CodexServiceTier::Fast), 0.00159, 1e-12);
  EXPECT_NEAR(row_cost("gpt-5-codex", t, prices, CodexServiceTier::Standard), 0.0025, 1e-12);
  EXPECT_EQ(row_cost("mystery-model", t, prices, CodexServiceTier::Fast), 0.0);
  // More cached than input: the uncached part is 0, not a wrapped-around count.
  EXPECT_NEAR(row_cost("gpt-5", CodexModelTotals{{10, 20, 0, 0, 10}}, prices, CodexServiceTier::Standard),
              20 * 0.0000002, 1e-15);

  CodexDayBucket bucket;
  bucket.sums = {1000, 800, 50, 7, 1057};
  bucket.models["gpt-5"] = {1000, 800, 50, 7, 1057};
  auto row = all::loader::codex_usage_row("2025-10-01", bucket, prices, CodexServiceTier::Standard);
  EXPECT_EQ(row.input, 200u);
  EXPECT_EQ(row.cache_read, 800u);
  EXPECT_EQ(kit::metadata_text(row.metadata), R"({"lastActivity":null,"reasoningOutputTokens":7})");
}

TEST(CodexEventKeys, ShardedSetCountsEachKeyOnce) {
  EventKeySet keys(3);
  std::size_t fresh = 0;
  for (int round = 0; round < 2; ++round)
    for (std::int64_t i = 0; i < 5000; ++i)
      fresh += keys.insert(EventKey{i * 1000, static_cast<std::uint32_t>(i % 4), {1, 0, static_cast<std::uint64_t>(i), 0, 0}});
  EXPECT_EQ(fresh, 5000u);
  EXPECT_FALSE(keys.insert(EventKey{0, 0, {1, 0, 0, 0, 0}}));
  EXPECT_TRUE(keys.insert(EventKey{0, 0, {1, 0, 0, 0, 1}}));
}

// The day totals of one reading, whether the files are read whole or cut anywhere into
// parts; a file whose sink fails in a later part fails with the first bad time of the file.
TEST(CodexAggregate, FilesReadInPartsGiveTheTotalsOfOneReading) {
  kit::TempDir dir;
  auto files = testing::write_stateful_rollouts(dir.path());
  kit::write_file(dir / "copy.jsonl", kit::read_file(files[2]));  // counted once
  files.push_back(dir / "copy.jsonl");
  CommonOptions common;
  common.timezone = "Asia/Tokyo";
  const auto options = all::loader::make_load_options(common);
  auto totals = [&](SharedState& shared, std::expected<FileTotals, std::string> r) {
    EXPECT_TRUE(r) << r.error();
    if (r) merge_buckets(r->days, count_pending_events(shared, 2));
    return r;
  };
  SharedState alone(1);
  const auto one = totals(alone, aggregate_files(files, options, alone));
  ASSERT_TRUE(one);
  ASSERT_GT(one->days.size(), 10u);
  for (std::uint64_t part : {7, 64, 333, 1000, 2900}) {
    SharedState shared(8);
    const auto many = totals(shared, aggregate_files_parallel(files, options, shared, {.cut_above = 0, .part = part}));
    ASSERT_TRUE(many);
    EXPECT_EQ(many->days, one->days) << part;
    EXPECT_EQ(many->saw_events, one->saw_events);
    EXPECT_EQ(many->unread, one->unread);
  }

  std::string bad = kit::read_file(files[0]);
  if (!bad.ends_with('\n')) bad += '\n';
  for (const char* when : {"2025-10-01 10:00", "2025-10-01T10:00:00.123456Z"})
    bad += token_count(quoted(when), Usage{5, 0, 1, 0, 6});
  kit::write_file(files[0], bad);
  SharedState failing(1);
  const auto failed = aggregate_files(files, options, failing);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "Invalid Codex timestamp: 2025-10-01 10:00");
  for (std::uint64_t part : {64, 1000}) {
    SharedState shared(8);
    EXPECT_EQ(aggregate_files_parallel(files, options, shared, {.cut_above = 0, .part = part}).error(), failed.error());
  }
}

}  // namespace
}  // namespace qm::codex::aggregate
