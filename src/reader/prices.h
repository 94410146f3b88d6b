#pragma once
// Pricing a record under several spellings of its model name (provider prefixes, aliases).
#include <cstdint>
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

// The names a model is priced under, in order, each with its price (null when it has none).
struct Candidates {
  std::vector<std::string> names;
  std::vector<const pricing::ModelPrice*> prices;
};

// The price lookups of one reader run: each distinct name is looked up once. Without a table
// nothing is priced.
class Prices {
 public:
  explicit Prices(const pricing::PricingTable* table) : table_(table) {}

  const pricing::ModelPrice* find(std::string_view name);
  // The price of the first name that has one, or null.
  const pricing::ModelPrice* first_price(std::span<const std::string> names);

  // The unpriced marker: the model, when it has tokens and none of the names has a price.
  std::optional<std::string> unpriced(std::string_view model, std::span<const std::string> names, std::uint64_t tokens);

  // The candidate names of a model, made by `make()` once per distinct model.
  template <typename Make>
  const std::vector<std::string>& candidates(std::string_view model, Make make) {
    return candidates(model, std::string_view(), make).names;
  }

  // The candidates of a model under a qualifier (its provider, say), made by
  // `make_names() -> std::vector<std::string>` and looked up the first time the pair is met.
  template <typename MakeNames>
  const Candidates& candidates(std::string_view model, std::string_view qualifier, MakeNames&& make_names) {
    const std::size_t length = model.size();  // first, so that no two pairs share a key
    key_.assign(reinterpret_cast<const char*>(&length), sizeof length);
    key_ += model;
    key_ += qualifier;
    auto it = candidates_.find(key_);
    if (it == candidates_.end()) {
      Candidates c{make_names(), {}};
      for (const auto& name : c.names) c.prices.push_back(find(name));
      it = candidates_.emplace(key_, std::move(c)).first;
    }
    return it->second;
  }
  // Whether the unpriced marker is due: tokens, a table, and no candidate with a price.
  bool unpriced(const Candidates& c, std::uint64_t tokens) const;

 private:
  const pricing::PricingTable* table_;
  std::unordered_map<std::string, std::optional<pricing::ModelPrice>, pricing::StringHash, std::equal_to<>> memo_;
  std::unordered_map<std::string, Candidates, pricing::StringHash, std::equal_to<>> candidates_;
  std::string key_;
};

// Candidate names for `pricing::cost_for`, each looked up when the rule reaches it: a missed
// name may fetch the catalogue, so none past the one that decides is looked up.
class NamePrices {
 public:
  NamePrices(Prices& prices, std::span<const std::string> names) : prices_(&prices), names_(names) {}
  std::size_t size() const { return names_.size(); }
  const pricing::ModelPrice* operator[](std::size_t i) const { return prices_->find(names_[i]); }

 private:
  Prices* prices_;
  std::span<const std::string> names_;
};

// A price table of the reader's own, loaded as the framework loads the shared one but
// without the spinner; none under the display mode, which prices nothing.
std::optional<pricing::PricingTable> own_table(const CommonOptions& options);

}  // namespace qm::reader
