#include "adapter/all/types.h"

#include <gtest/gtest.h>

namespace qm::all::types {
namespace {

TEST(TokenArithmetic, EffectiveCacheCreationPrefersTheSplit) {
  TokenTotals totals;
  TokenUsageRaw block;
  block.cache_creation = 999;
  add_token_totals(totals, block);
  EXPECT_EQ(totals.cache_creation, 999u);
  block.cache_creation_split = CacheCreationRaw{100, 50};
  add_token_totals(totals, block);
  EXPECT_EQ(totals.cache_creation, 999u + 150u);
}

TEST(TokenArithmetic, ReconcileWithReportedTotal) {
  struct Case {
    std::uint64_t input, output, extra, total;
    std::uint64_t want_output, want_extra;
  } cases[] = {
      {10, 0, 0, 25, 15, 0},   // no output: the shortfall becomes output
      {10, 5, 0, 25, 5, 10},   // output present: the shortfall becomes extra
      {10, 5, 0, 12, 5, 0},    // total below the parts: unchanged
      {UINT64_MAX, 1, 0, UINT64_MAX, 1, 0},  // saturating sum
  };
  for (const auto& c : cases) {
    TokenUsageRaw b;
    b.input = c.input;
    b.output = c.output;
    auto r = reconcile_token_total(b, c.extra, c.total);
    EXPECT_EQ(r.block.output, c.want_output) << c.input << "/" << c.output << "/" << c.total;
    EXPECT_EQ(r.extra, c.want_extra) << c.input << "/" << c.output << "/" << c.total;
  }
}

}  // namespace
}  // namespace qm::all::types
