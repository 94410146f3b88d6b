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
#include "options.h"
#include "pricing/table.h"

namespace qm::reader {

// Input, output, cache creation and cache read of a block, saturating: the token count that
// decides whether a model without a price is marked.
std::uint64_t token_sum(const TokenUsageRaw& block);

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

  // A record that carries no recorded cost, under the cost mode: display leaves its cost 0
  // and marks nothing; the other modes give it the first priced name's cost of `priced`
  // and the marker of its model over `tokens`.
  void price_computed(UsageRecord& record, CostMode mode, std::span<const std::string> names,
                      const TokenUsageRaw& priced, std::uint64_t tokens);

  // The candidate names of a model, made by `make()` once per distinct model.
  template <typename Make>
  const std::vector<std::string>& candidates(std::string_view model, Make make) {
    auto it = names_.find(model);
    if (it == names_.end()) it = names_.emplace(std::string(model), make()).first;
    return it->second;
  }

 private:
  const pricing::PricingTable* table_;
  std::unordered_map<std::string, std::optional<pricing::ModelPrice>, pricing::StringHash, std::equal_to<>> memo_;
  std::unordered_map<std::string, std::vector<std::string>, pricing::StringHash, std::equal_to<>> names_;
};

// A price table of the reader's own, loaded as the framework loads the shared one but
// without the spinner; none under the display mode, which prices nothing.
std::optional<pricing::PricingTable> own_table(const CommonOptions& options);

}  // namespace qm::reader
