// Daily grouping of usage records.
#include "src/summary.h"

#include <gtest/gtest.h>

#include "adapter/all/row_metadata.h"
#include "adapter/all/loader.h"

namespace qm::summary {
namespace {

UsageRecord rec(std::string date, std::optional<std::string> model, double cost, std::uint64_t input = 1) {
  UsageRecord r;
  r.date_key = std::move(date);
  r.model_key = std::move(model);
  r.cost = cost;
  r.tokens.input = input;
  return r;
}

TEST(Grouping, DaysAscendingModelsByCostStable) {
  std::vector<UsageRecord> records = {rec("2025-01-02", "b", 1), rec("2025-01-01", "x", 0.5), rec("2025-01-02", "a", 1),
                                      rec("2025-01-02", "c", 2), rec("2025-01-02", std::nullopt, 4, 10)};
  records[0].credits = 0.5;
  records[2].credits = 1.5;
  records[3].unpriced = "estimated";
  records[3].tokens.cache_creation_split = CacheCreationRaw{3, 4};
  auto groups = group_by_day(records);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].label, "2025-01-01");
  const auto& g = groups[1];
  EXPECT_EQ(g.models, (std::vector<std::string>{"b", "a", "c"}));
  ASSERT_EQ(g.model_usages.size(), 3u);
  EXPECT_EQ(g.model_usages[0].model, "c");
  EXPECT_EQ(g.model_usages[1].model, "b");
  EXPECT_EQ(g.model_usages[2].model, "a");
  EXPECT_TRUE(g.model_usages[0].unpriced);
  EXPECT_EQ(g.model_usages[0].cache_creation, 7u);
  EXPECT_EQ(g.cost, 8.0);
  EXPECT_EQ(g.totals.input, 13u);
  EXPECT_EQ(g.credits, 2.0);

  auto rows = all::loader::to_usage_rows("amp", groups);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].metadata);
  ASSERT_TRUE(rows[1].metadata);
  EXPECT_EQ(all::types::metadata_json(rows[1].metadata).dump(), R"({"credits":2})");
  EXPECT_EQ(rows[1].total, 13u + 7u);
  EXPECT_EQ(rows[1].agents, (std::vector<std::string>{"amp"}));
}

TEST(Grouping, SumsStopAtTheLargestCount) {
  auto big = rec("2025-03-01", "m", 1, UINT64_MAX);
  big.tokens.output = UINT64_MAX;
  big.tokens.cache_creation_split = CacheCreationRaw{UINT64_MAX, 1};
  big.tokens.cache_read = UINT64_MAX;
  big.reasoning = UINT64_MAX;
  big.message_count = UINT64_MAX;
  auto groups = group_by_day({big, big});
  ASSERT_EQ(groups.size(), 1u);
  const UsageGroup& g = groups[0];
  EXPECT_EQ(g.totals, (TokenTotals{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX}));
  EXPECT_EQ(g.reasoning, UINT64_MAX);
  EXPECT_EQ(g.extra_count, UINT64_MAX);
  ASSERT_EQ(g.model_usages.size(), 1u);
  EXPECT_EQ(g.model_usages[0], (ModelUsage{"m", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 2.0}));
  auto rows = all::loader::to_usage_rows("amp", groups);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].total, UINT64_MAX);
  auto merged = all::loader::merge_rows_by_label({rows[0], rows[0]});
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].total, UINT64_MAX);
  EXPECT_EQ(merged[0].model_usages,
            (std::vector<ModelUsage>{{"m", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 4.0}}));
}

TEST(Grouping, DaysWithoutTokensGiveNoRow) {
  auto only_cache = rec("2025-02-01", "m", 0, 0);
  only_cache.tokens.cache_read = 5;
  auto zero = rec("2025-02-02", "m", 3, 0);
  auto no_key = rec("2025-02-03", std::nullopt, 1, 2);
  auto rows = all::loader::to_usage_rows("x", group_by_day({only_cache, zero, no_key}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].label, "2025-02-01");
  EXPECT_EQ(rows[1].label, "2025-02-03");
  EXPECT_TRUE(rows[1].model_usages.empty());
}

TEST(Grouping, WeekStart) {
  EXPECT_EQ(week_start("2025-03-05", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-03", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-09", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-09", 0), "2025-03-09");
  EXPECT_FALSE(week_start("2025-3-5", 1));
}

}  // namespace
}  // namespace qm::summary
