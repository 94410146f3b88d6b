#pragma once
// Hand-made price tables for reader tests.
#include <initializer_list>
#include <string>
#include <utility>

#include "pricing/table.h"

namespace qm::kit {

// Dollars per token.
struct TestPrice {
  double input = 0.0;
  double output = 0.0;
  double cache_creation = 0.0;
  double cache_read = 0.0;
};

inline pricing::ModelPrice model_price(const TestPrice& p, bool explicit_cache_read = false) {
  pricing::ModelPrice price;
  price.input = p.input;
  price.output = p.output;
  price.cache_creation = p.cache_creation;
  price.cache_read = p.cache_read;
  price.explicit_cache_read = explicit_cache_read;
  return price;
}

// A table of exactly these prices. Its models.dev flags stay off, so a name it lacks stays
// unpriced instead of being found in the compiled-in or downloaded catalogue.
inline pricing::PricingTable price_table(std::initializer_list<std::pair<std::string, TestPrice>> prices) {
  pricing::PricingTable table;
  for (const auto& [name, p] : prices) table.prices[name] = model_price(p);
  return table;
}

}  // namespace qm::kit
