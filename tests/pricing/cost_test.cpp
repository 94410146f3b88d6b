#include "pricing/cost.h"
#include "pricing/lookup.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// The computed cost of a block at a model's price in the table.
double priced(const char* model, const TokenUsageRaw& block, const PricingTable* t) {
  const auto price = t ? price_for_model(*t, model) : std::nullopt;
  return cost_for(CostMode::Calculate, std::nullopt, price ? &*price : nullptr, block);
}

TEST(TieredCost, OnlyTokensBeyondTwoHundredThousand) {
  EXPECT_DOUBLE_EQ(tiered_cost(250'000, 6e-6, 3e-6), 0.9);
  EXPECT_DOUBLE_EQ(tiered_cost(250'000, std::nullopt, 3e-6), 0.75);
  EXPECT_DOUBLE_EQ(tiered_cost(200'000, 6e-6, 3e-6), 0.6);
  EXPECT_DOUBLE_EQ(tiered_cost(200'001, 1.0, 0.0), 1.0);
  EXPECT_EQ(tiered_cost(0, 6e-6, 3e-6), 0.0);
}

TEST(CostAtPrice, TiersApplyPerTerm) {
  const auto t = small_table();
  auto block = tokens(250'000, 1'000, 300'000, 100'000);
  const double expected = 200'000 * 3e-6 + 50'000 * 6e-6      // input
                          + 1'000 * 1.5e-5                   // output, below the tier
                          + 200'000 * 3.75e-6 + 100'000 * 7.5e-6  // cache creation
                          + 100'000 * 3e-7;                  // cache read, below the tier
  EXPECT_DOUBLE_EQ(priced("tiered", block, &t), expected);
  EXPECT_DOUBLE_EQ(priced("flat", block, &t), 250'000 * 3e-6 + 1'000 * 1.5e-5 + 300'000 * 3.75e-6 + 100'000 * 3e-7);
}

TEST(CostAtPrice, OneHourWritesAtTwiceTheInputPrice) {
  const auto t = small_table();
  TokenUsageRaw block{.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 1'000, .ephemeral_1h = 2'000},
                      .cache_creation = 3'000};
  EXPECT_DOUBLE_EQ(priced("flat", block, &t), 1'000 * 3.75e-6 + 2'000 * 6e-6);
  // Beyond 200,000 one-hour tokens the doubled above-200k input price applies.
  block.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 0, .ephemeral_1h = 300'000};
  EXPECT_DOUBLE_EQ(priced("tiered", block, &t), 200'000 * 6e-6 + 100'000 * 12e-6);
  EXPECT_DOUBLE_EQ(priced("flat", block, &t), 300'000 * 6e-6);
}

TEST(CostAtPrice, FastMultiplier) {
  const auto t = small_table();
  auto standard = tokens(1'000, 500, 0, 10'000);
  TokenUsageRaw fast = standard;
  fast.speed = Speed::Fast;
  EXPECT_DOUBLE_EQ(priced("fast-model", fast, &t), 6.0 * priced("fast-model", standard, &t));
  EXPECT_DOUBLE_EQ(priced("flat", fast, &t), priced("flat", standard, &t));
}

TEST(CostAtPrice, NothingToPriceIsZero) {
  const auto t = small_table();
  auto block = tokens(1'000);
  EXPECT_EQ(priced("flat", block, nullptr), 0.0);
  EXPECT_EQ(priced("unknown", block, &t), 0.0);
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
    const auto price = price_for_model(t, c.model);
    EXPECT_DOUBLE_EQ(cost_for(c.mode, c.recorded, price ? &*price : nullptr, block), c.cost) << label;
    EXPECT_EQ(reports_missing_price(block, c.recorded.has_value(), c.mode) && !price, c.reported) << label;
  }
  EXPECT_FALSE(reports_missing_price(TokenUsageRaw{}, false, CostMode::Calculate));
  // Split cache writes count towards "has tokens".
  TokenUsageRaw writes{.cache_creation_split = CacheCreationRaw{.ephemeral_5m = 0, .ephemeral_1h = 5}};
  EXPECT_TRUE(reports_missing_price(writes, false, CostMode::Calculate));
}

// A list that counts how far it is read, as a list that looks prices up on access would.
struct CountedPrices {
  std::vector<const ModelPrice*> prices;
  mutable std::size_t read = 0;
  std::size_t size() const { return prices.size(); }
  const ModelPrice* operator[](std::size_t i) const {
    read = std::max(read, i + 1);
    return prices[i];
  }
};

TEST(CostFor, TwoRulesReadTheCandidatesOnlyAsFarAsTheyDecide) {
  ModelPrice free, paid, other;
  paid.input = 2e-6;
  other.input = 1e-6;
  const auto block = tokens(1'000);
  struct Case {
    std::vector<const ModelPrice*> prices;
    CostRule rule;
    double cost;
    std::size_t read;
  } cases[] = {
      {{nullptr, &free, &paid, &other}, CostRule::FirstPriced, 0.0, 2},  // priced at 0 decides
      {{nullptr, &free, &paid, &other}, CostRule::FirstPositive, 2e-3, 3},
      {{nullptr, nullptr}, CostRule::FirstPositive, 0.0, 2},
      {{}, CostRule::FirstPriced, 0.0, 0},
  };
  for (const auto& c : cases) {
    CountedPrices list{c.prices};
    EXPECT_DOUBLE_EQ(cost_for(CostMode::Calculate, std::nullopt, c.rule, list, block), c.cost);
    EXPECT_EQ(list.read, c.read);
    CountedPrices untouched{c.prices};  // a recorded cost the mode takes looks nothing up
    EXPECT_DOUBLE_EQ(cost_for(CostMode::Auto, 0.25, c.rule, untouched, block), 0.25);
    EXPECT_EQ(untouched.read, 0u);
  }
}

TEST(FastModelKey, AppendsFast) { EXPECT_EQ(fast_model_key("gpt-5"), "gpt-5-fast"); }

}  // namespace
}  // namespace qm::pricing
