// Candidate-name pricing: the first priced name, the first positive cost, the marker.
#include "reader/prices.h"

#include <gtest/gtest.h>

#include "pricing/cost.h"

namespace qm::reader {
namespace {

using pricing::CostRule;

double computed(CostRule rule, Prices& prices, std::span<const std::string> names, const TokenUsageRaw& block) {
  return pricing::cost_for(CostMode::Calculate, std::nullopt, rule, NamePrices(prices, names), block);
}

pricing::ModelPrice per_input(double input) {
  pricing::ModelPrice p;
  p.input = input;
  return p;
}

// Never falls back to the models.dev tables.
pricing::PricingTable table() {
  pricing::PricingTable t;
  t.prices["free/m"] = per_input(0.0);
  t.prices["paid/m"] = per_input(2e-6);
  t.prices["plain-m"] = per_input(1e-6);
  return t;
}

TEST(ReaderPrices, TwoRulesOverCandidateNames) {
  const auto t = table();
  Prices prices(&t);
  TokenUsageRaw block;
  block.input = 1000;
  using Names = std::vector<std::string>;
  struct Case {
    Names names;
    double first_priced, first_positive;
    bool unpriced;
  } cases[] = {
      {{"nothing/x", "free/m", "paid/m"}, 0.0, 2e-3, false},  // priced at 0 stops one rule only
      {{"paid/m", "plain-m"}, 2e-3, 2e-3, false},
      {{"nothing/x", "plain-m"}, 1e-3, 1e-3, false},
      {{"nothing/x", "nothing/y"}, 0.0, 0.0, true},
      {{}, 0.0, 0.0, true},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(computed(CostRule::FirstPriced, prices, c.names, block), c.first_priced)
        << testing::PrintToString(c.names);
    EXPECT_DOUBLE_EQ(computed(CostRule::FirstPositive, prices, c.names, block), c.first_positive)
        << testing::PrintToString(c.names);
    EXPECT_EQ(prices.unpriced("m", c.names, 5), c.unpriced ? std::optional<std::string>("m") : std::nullopt);
  }
  EXPECT_EQ(prices.unpriced("m", Names{"nothing/x"}, 0), std::nullopt);  // no tokens, no marker

  Prices none(nullptr);  // no table: nothing priced and nothing marked
  EXPECT_EQ(computed(CostRule::FirstPositive, none, Names{"paid/m"}, block), 0.0);
  EXPECT_EQ(none.unpriced("m", Names{"nothing/x"}, 5), std::nullopt);
}

TEST(ReaderPrices, CandidatesOfAModelAreMadeAndLookedUpOncePerQualifier) {
  const auto t = table();
  Prices prices(&t);
  int made = 0;
  auto make = [&](std::vector<std::string> names) {
    return [&made, names] {
      ++made;
      return names;
    };
  };
  TokenUsageRaw block;
  block.input = 1000;
  const Candidates& free = prices.candidates("m", "free", make({"free/m", "plain-m"}));
  EXPECT_EQ(&prices.candidates("m", "free", make({"other"})), &free);  // made once
  const Candidates& paid = prices.candidates("m", "paid", make({"paid/m"}));
  const Candidates& none = prices.candidates("mx", "", make({"nothing/x"}));
  EXPECT_EQ(made, 3);
  EXPECT_EQ(free.names, (std::vector<std::string>{"free/m", "plain-m"}));
  const auto at = [&](CostRule rule, const Candidates& c) {
    return pricing::cost_for(CostMode::Calculate, std::nullopt, rule, c.prices, block);
  };
  EXPECT_DOUBLE_EQ(at(CostRule::FirstPriced, free), 0.0);
  EXPECT_DOUBLE_EQ(at(CostRule::FirstPositive, free), 1e-3);
  EXPECT_DOUBLE_EQ(at(CostRule::FirstPositive, paid), 2e-3);
  EXPECT_FALSE(prices.unpriced(free, 5));
  EXPECT_TRUE(prices.unpriced(none, 5));
  EXPECT_FALSE(prices.unpriced(none, 0));
  // Texts with a NUL byte do not make two pairs one.
  prices.candidates(std::string("a\0b", 3), "", make({"x"}));
  prices.candidates("a", std::string("\0b", 2), make({"y"}));
  EXPECT_EQ(made, 5);
}

TEST(ReaderPrices, CostsFollowTheCostMode) {
  const auto t = table();
  Prices prices(&t);
  TokenUsageRaw block;
  block.input = 1000;
  const std::vector<std::string> names{"nothing/x", "paid/m"};
  const std::vector<std::string> none{"nothing/x"};
  struct Case {
    CostMode mode;
    std::optional<double> recorded;
    const std::vector<std::string>& names;
    double cost;
  } cases[] = {
      {CostMode::Auto, std::nullopt, names, 2e-3},
      {CostMode::Auto, 0.5, names, 0.5},
      {CostMode::Calculate, 0.5, names, 2e-3},
      {CostMode::Calculate, std::nullopt, none, 0.0},
      {CostMode::Display, std::nullopt, names, 0.0},  // nothing computed
      {CostMode::Display, 0.5, none, 0.5},
  };
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(pricing::cost_for(c.mode, c.recorded, CostRule::FirstPriced, NamePrices(prices, c.names), block),
                     c.cost)
        << static_cast<int>(c.mode);
  int made = 0;
  auto make = [&] {
    ++made;
    return std::vector<std::string>{"a/m", "m"};
  };
  EXPECT_EQ(&prices.candidates("m", make), &prices.candidates("m", make));
  EXPECT_EQ(made, 1);
}

TEST(ReaderPrices, CandidatesKeepTheFirstOfRepeatedNames) {
  std::vector<std::string> names;
  for (const char* n : {"google/m", "m", "google/m", "vertex/m", "m"}) add_candidate(names, n);
  EXPECT_EQ(names, (std::vector<std::string>{"google/m", "m", "vertex/m"}));
}

}  // namespace
}  // namespace qm::reader
