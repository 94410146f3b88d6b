#pragma once
// The API-equivalent cost of a token block, the cost modes, and which models lack a price.
#include <cstdint>
#include <optional>
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

// 0 without a model, a table or a price.
double calculate_cost(std::optional<std::string_view> model, const TokenUsageRaw& block, const PricingTable* table);

double cost_for_mode(std::optional<std::string_view> model, const TokenUsageRaw& block, std::optional<double> recorded,
                     CostMode mode, const PricingTable* table);
// cost_for_mode for a reader that looked the price up once per model: `price` is null when
// there is no model, no table or no price.
double cost_for_mode_at_price(const ModelPrice* price, const TokenUsageRaw& block, std::optional<double> recorded,
                              CostMode mode);

// Whether a record's model, when it has no price, is reported as unpriced: the mode computes
// the cost and the block has tokens.
bool reports_missing_price(const TokenUsageRaw& block, bool recorded_present, CostMode mode);

// The name under which fast-mode usage of a model is reported.
std::string fast_model_key(std::string_view model);

}  // namespace qm::pricing
