#include "pricing/cost.h"
#include "pricing/lookup.h"

#include <gtest/gtest.h>

namespace qm::pricing {
namespace {

TokenUsageRaw tokens(std::uint64_t input, std::uint64_t output = 0, std::uint64_t cache_creation = 0,
                     std::uint64_t cache_read = 0) {
  TokenUsageRaw t;
  t.input = input;
  t.output = output;
  t.cache_creation = cache_creation;
  t.cache_read = cache_read;
  return t;
}

// A table that never falls back to models.dev.
PricingTable small_table() {
  PricingTable t;
  ModelPrice tiered;
  tiered.input = 3e-6;
  tiered.output = 1.5e-5;
  tiered.cache_creation = 3.75e-6;
  tiered.cache_read = 3e-7;
  tiered.input_above_200k = 6e-6;
  tiered.output_above_200k = 2.25e-5;
  tiered.cache_creation_above_200k = 7.5e-6;
  tiered.cache_read_above_200k = 6e-7;
  t.prices["tiered"] = tiered;
  ModelPrice flat = tiered;
  flat.input_above_200k = flat.output_above_200k = flat.cache_creation_above_200k = flat.cache_read_above_200k =
      std::nullopt;
  t.prices["flat"] = flat;
  ModelPrice fast = flat;
  fast.fast_multiplier = 6.0;
  t.prices["fast-model"] = fast;
  return t;
}

TEST(TieredCost, OnlyTokensBeyondTwoHundredThousand) {
  EXPECT_DOUBLE_EQ(tiered_cost(250'000, 6e-6, 3e-6), 0.9);
  EXPECT_DOUBLE_EQ(tiered_cost(250'000, std::nullopt, 3e-6), 0.75);
  EXPECT_DOUBLE_EQ(tiered_cost(200'000, 6e-6, 3e-6), 0.6);
  EXPECT_DOUBLE_EQ(tiered_cost(200'001, 1.0, 0.0), 1.0);
  EXPECT_EQ(tiered_cost(0, 6e-6, 3e-6), 0.0);
}

TEST(CalculateCost, TiersApplyPerTerm) {
  const auto t = small_table();
  auto block = tokens(250'000, 1'000, 300'000, 100'000);
  const double expected = 200'000 * 3e-6 + 50'000 * 6e-6      // input
                          + 1'000 * 1.5e-5                   // output, below the tier
                          + 200'000 * 3.75e-6 + 100'000 * 7.5e-6  // cache creation
                          + 100'000 * 3e-7;                  // cache read, below the tier
  EXPECT_DOUBLE_EQ(calculate_cost("tiered", block, &t), expected);
  EXPECT_DOUBLE_EQ(calculate_cost("flat", block, &t), 250'000 * 3e-6 + 1'000 * 1.5e-5 + 300'000 * 3.75e-6 + 100'000 * 3e-7);
}

TEST(CalculateCost, OneHourWritesAtTwiceTheInputPrice) {
  const auto t = small_table();
  TokenUsageRaw block{.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 1'000, .ephemeral_1h = 2'000},
                      .cache_creation = 3'000};
  EXPECT_DOUBLE_EQ(calculate_cost("flat", block, &t), 1'000 * 3.75e-6 + 2'000 * 6e-6);
  // Beyond 200,000 one-hour tokens the doubled above-200k input price applies.
  block.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 0, .ephemeral_1h = 300'000};
  EXPECT_DOUBLE_EQ(calculate_cost("tiered", block, &t), 200'000 * 6e-6 + 100'000 * 12e-6);
  EXPECT_DOUBLE_EQ(calculate_cost("flat", block, &t), 300'000 * 6e-6);
}

TEST(CalculateCost, FastMultiplier) {
  const auto t = small_table();
  auto standard = tokens(1'000, 500, 0, 10'000);
  TokenUsageRaw fast = standard;
  fast.speed = Speed::Fast;
  EXPECT_DOUBLE_EQ(calculate_cost("fast-model", fast, &t), 6.0 * calculate_cost("fast-model", standard, &t));
  EXPECT_DOUBLE_EQ(calculate_cost("flat", fast, &t), calculate_cost("flat", standard, &t));
}

TEST(CalculateCost, NothingToPriceIsZero) {
  const auto t = small_table();
  auto block = tokens(1'000);
  EXPECT_EQ(calculate_cost(std::nullopt, block, &t), 0.0);
  EXPECT_EQ(calculate_cost("flat", block, nullptr), 0.0);
  EXPECT_EQ(calculate_cost("unknown", block, &t), 0.0);
}

TEST(CostModes, RecordedCostAndUnpricedModels) {
  const auto t = small_table();
  auto block = tokens(1'000);
  const double computed = 1'000 * 3e-6;
  struct Case {
    CostMode mode;
    std::optional<double> recorded;
    const char* model;
    double cost;
    bool reported;
  };
  const std::vector<Case> cases = {
      {CostMode::Display, 0.5, "flat", 0.5, false},
      {CostMode::Display, std::nullopt, "flat", 0.0, false},
      {CostMode::Display, std::nullopt, "unknown", 0.0, false},
      {CostMode::Auto, 0.5, "flat", 0.5, false},
      {CostMode::Auto, std::nullopt, "flat", computed, false},
      {CostMode::Auto, std::nullopt, "unknown", 0.0, true},
      {CostMode::Auto, 0.5, "unknown", 0.5, false},
      {CostMode::Calculate, 0.5, "flat", computed, false},
      {CostMode::Calculate, 0.5, "unknown", 0.0, true},
  };
  for (const auto& c : cases) {
    const auto label = std::string(c.model) + " mode " + std::to_string(static_cast<int>(c.mode));
    EXPECT_DOUBLE_EQ(cost_for_mode(c.model, block, c.recorded, c.mode, &t), c.cost) << label;
    const auto price = price_for_model(t, c.model);
    EXPECT_DOUBLE_EQ(cost_for_mode_at_price(price ? &*price : nullptr, block, c.recorded, c.mode), c.cost) << label;
    EXPECT_EQ(reports_missing_price(block, c.recorded.has_value(), c.mode) && !price, c.reported) << label;
  }
  EXPECT_FALSE(reports_missing_price(TokenUsageRaw{}, false, CostMode::Calculate));
  // Split cache writes count towards "has tokens".
  TokenUsageRaw writes{.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 0, .ephemeral_1h = 5}};
  EXPECT_TRUE(reports_missing_price(writes, false, CostMode::Calculate));
}

TEST(FastModelKey, AppendsFast) { EXPECT_EQ(fast_model_key("gpt-5"), "gpt-5-fast"); }

}  // namespace
}  // namespace qm::pricing
