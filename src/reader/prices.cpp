#include "reader/prices.h"

#include <algorithm>

#include "pricing/cost.h"
#include "pricing/lookup.h"
#include "util.h"

namespace qm::reader {

std::uint64_t token_sum(const TokenUsageRaw& b) {
  return util::saturating_add(util::saturating_add(b.input, b.output), util::saturating_add(b.cache_creation, b.cache_read));
}

void add_candidate(std::vector<std::string>& names, std::string name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
}

const pricing::ModelPrice* Prices::find(std::string_view name) {
  if (!table_) return nullptr;
  auto it = memo_.find(name);
  if (it == memo_.end()) it = memo_.emplace(std::string(name), pricing::price_for_model(*table_, name)).first;
  return it->second ? &*it->second : nullptr;
}

const pricing::ModelPrice* Prices::first_price(std::span<const std::string> names) {
  for (const auto& name : names)
    if (const auto* price = find(name)) return price;
  return nullptr;
}

bool Prices::unpriced(const Candidates& c, std::uint64_t tokens) const {
  return tokens != 0 && table_ && std::none_of(c.prices.begin(), c.prices.end(), [](const auto* p) { return p; });
}

std::optional<std::string> Prices::unpriced(std::string_view model, std::span<const std::string> names,
                                            std::uint64_t tokens) {
  if (tokens == 0 || !table_ || first_price(names)) return std::nullopt;
  return std::string(model);
}

std::optional<pricing::PricingTable> own_table(const CommonOptions& options) {
  if (options.mode == CostMode::Display) return std::nullopt;
  return pricing::load_price_table(options.offline, false, options.pricing_overrides);
}

}  // namespace qm::reader
