#pragma once
// Pricing a record under several spellings of its model name (provider prefixes, aliases).
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "adapter/all/types.h"
#include "pricing/table.h"

namespace qm::reader {

// Appends a candidate name unless the list holds it already (the first stays).
void add_candidate(std::vector<std::string>& names, std::string name);

// The price lookups of one reader run: each distinct name is looked up once. Without a table
// nothing is priced.
class Prices {
 public:
  explicit Prices(const pricing::PricingTable* table) : table_(table) {}

  const pricing::ModelPrice* find(std::string_view name);
  // The price of the first name that has one, or null.
  const pricing::ModelPrice* first_price(std::span<const std::string> names);

  // First priced name: the cost of the block at the price of the first name that has one;
  // 0 when none has.
  double first_priced_cost(std::span<const std::string> names, const TokenUsageRaw& block);
  // First positive cost: the first name whose cost of the block is finite and above 0; 0
  // when none is.
  double first_positive_cost(std::span<const std::string> names, const TokenUsageRaw& block);
  // The unpriced marker: the model, when it has tokens and none of the names has a price.
  std::optional<std::string> unpriced(std::string_view model, std::span<const std::string> names, std::uint64_t tokens);

 private:
  const pricing::PricingTable* table_;
  std::unordered_map<std::string, std::optional<pricing::ModelPrice>, pricing::StringHash, std::equal_to<>> memo_;
};

}  // namespace qm::reader
