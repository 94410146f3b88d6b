#pragma once
// One model's price override from the configuration file ("pricingOverrides").
#include <cstdint>
#include <optional>

namespace qm {

struct ConfigPricingOverride {
  std::optional<double> input_cost_per_token;
  std::optional<double> output_cost_per_token;
  std::optional<double> cache_creation_input_token_cost;
  std::optional<double> cache_read_input_token_cost;
  std::optional<double> input_cost_per_token_above_200k_tokens;
  std::optional<double> output_cost_per_token_above_200k_tokens;
  std::optional<double> cache_creation_input_token_cost_above_200k_tokens;
  std::optional<double> cache_read_input_token_cost_above_200k_tokens;
  std::optional<std::uint64_t> max_input_tokens;
  std::optional<double> fast_multiplier;

  bool operator==(const ConfigPricingOverride&) const = default;
};

}  // namespace qm
