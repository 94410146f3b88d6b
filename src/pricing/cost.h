#pragma once
// The API-equivalent cost of a token block, the cost modes, and which models lack a price.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "adapter/all/types.h"
#include "options.h"
#include "pricing/table.h"

namespace qm::pricing {

inline constexpr std::uint64_t kTierThreshold = 200'000;

// Tokens beyond the first 200,000 at the above price when there is one.
double tiered_cost(std::uint64_t tokens, std::optional<double> above, double base);

// The cost of a block at a known price, fast multiplier included.
double cost_at_price(const ModelPrice& price, const TokenUsageRaw& block);

// Which candidate prices a computed cost: the first that has a price, or the first whose cost
// of the block is finite and above 0.
enum class CostRule { FirstPriced, FirstPositive };

// The one cost step. Display takes the recorded cost (0 without one), auto takes it when there
// is one; otherwise the block is priced at the candidates in order by `rule`, 0 when none
// applies. `candidates` is anything indexable whose i-th entry is a price or null; it is read
// only as far as the rule needs, so a list that looks prices up on access looks up no more.
template <typename PriceList>
double cost_for(CostMode mode, std::optional<double> recorded, CostRule rule, const PriceList& candidates,
                const TokenUsageRaw& block) {
  if (mode == CostMode::Display || (mode == CostMode::Auto && recorded)) return recorded.value_or(0.0);
  for (std::size_t i = 0, n = candidates.size(); i < n; ++i) {
    const ModelPrice* price = candidates[i];
    if (!price) continue;
    const double cost = cost_at_price(*price, block);
    // Above 0 and finite (a NaN is neither).
    if (rule == CostRule::FirstPriced || (cost > 0 && cost < std::numeric_limits<double>::infinity())) return cost;
  }
  return 0.0;
}

// A single candidate, `price` null when the model has none.
inline double cost_for(CostMode mode, std::optional<double> recorded, const ModelPrice* price, const TokenUsageRaw& block) {
  return cost_for(mode, recorded, CostRule::FirstPriced, std::span<const ModelPrice* const>(&price, 1), block);
}

// Whether a record's model, when it has no price, is reported as unpriced: the mode computes
// the cost and the block has tokens.
bool reports_missing_price(const TokenUsageRaw& block, bool recorded_present, CostMode mode);

// The name under which fast-mode usage of a model is reported.
std::string fast_model_key(std::string_view model);

}  // namespace qm::pricing
