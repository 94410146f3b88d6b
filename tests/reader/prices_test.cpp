// Candidate-name pricing: the first priced name, the first positive cost, the marker.
#include "reader/prices.h"

#include <gtest/gtest.h>

namespace qm::reader {
namespace {

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
    EXPECT_DOUBLE_EQ(prices.first_priced_cost(c.names, block), c.first_priced) << testing::PrintToString(c.names);
    EXPECT_DOUBLE_EQ(prices.first_positive_cost(c.names, block), c.first_positive) << testing::PrintToString(c.names);
    EXPECT_EQ(prices.unpriced("m", c.names, 5), c.unpriced ? std::optional<std::string>("m") : std::nullopt);
  }
  EXPECT_EQ(prices.unpriced("m", Names{"nothing/x"}, 0), std::nullopt);  // no tokens, no marker

  Prices none(nullptr);  // no table: nothing priced and nothing marked
  EXPECT_EQ(none.first_positive_cost(Names{"paid/m"}, block), 0.0);
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
  EXPECT_DOUBLE_EQ(Prices::first_priced_cost(free, block), 0.0);
  EXPECT_DOUBLE_EQ(Prices::first_positive_cost(free, block), 1e-3);
  EXPECT_DOUBLE_EQ(Prices::first_positive_cost(paid, block), 2e-3);
  EXPECT_FALSE(prices.unpriced(free, 5));
  EXPECT_TRUE(prices.unpriced(none, 5));
  EXPECT_FALSE(prices.unpriced(none, 0));
  // Texts with a NUL byte do not make two pairs one.
  prices.candidates(std::string("a\0b", 3), "", make({"x"}));
  prices.candidates("a", std::string("\0b", 2), make({"y"}));
  EXPECT_EQ(made, 5);
}

TEST(ReaderPrices, ComputedCostsFollowTheCostMode) {
  const auto t = table();
  Prices prices(&t);
  TokenUsageRaw block;
  block.input = 1000;
  const std::vector<std::string> names{"nothing/x", "paid/m"};
  const std::vector<std::string> none{"nothing/x"};
  struct Case {
    CostMode mode;
    const std::vector<std::string>& names;
    double cost;
    std::optional<std::string> marker;
  } cases[] = {
      {CostMode::Auto, names, 2e-3, std::nullopt},
      {CostMode::Calculate, none, 0.0, "m"},
      {CostMode::Display, none, 0.0, std::nullopt},  // nothing computed, nothing marked
  };
  for (const auto& c : cases) {
    UsageRecord r;
    r.model = "m";
    prices.price_computed(r, c.mode, c.names, block, 1000);
    EXPECT_DOUBLE_EQ(r.cost, c.cost);
    EXPECT_EQ(r.unpriced, c.marker);
  }
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
