#include "pricing/cost.h"


namespace qm::pricing {

double tiered_cost(std::uint64_t tokens, std::optional<double> above, double base) {
  if (tokens == 0) return 0.0;
  if (tokens > kTierThreshold && above)
    return static_cast<double>(kTierThreshold) * base + static_cast<double>(tokens - kTierThreshold) * *above;
  return static_cast<double>(tokens) * base;
}

double cost_at_price(const ModelPrice& price, const TokenUsageRaw& block) {
  const double m = block.speed == Speed::Fast ? price.fast_multiplier : 1.0;
  const auto& split = block.cache_creation_split;
  const std::uint64_t five_minute = split ? split->ephemeral_5m : block.cache_creation;
  const std::uint64_t one_hour = split ? split->ephemeral_1h : 0;
  std::optional<double> one_hour_above;
  if (price.input_above_200k) one_hour_above = 2.0 * *price.input_above_200k;

  const double sum = tiered_cost(block.input, price.input_above_200k, price.input) +
                     tiered_cost(block.output, price.output_above_200k, price.output) +
                     tiered_cost(five_minute, price.cache_creation_above_200k, price.cache_creation) +
                     tiered_cost(one_hour, one_hour_above, 2.0 * price.input) +
                     tiered_cost(block.cache_read, price.cache_read_above_200k, price.cache_read);
  return m * sum;
}

namespace {
std::uint64_t block_total(const TokenUsageRaw& block) {
  return block.input + block.output + block.cache_read + block.effective_cache_creation();
}
}  // namespace

bool reports_missing_price(const TokenUsageRaw& block, bool recorded_present, CostMode mode) {
  if (mode == CostMode::Display || (mode == CostMode::Auto && recorded_present)) return false;
  return block_total(block) != 0;
}

std::string fast_model_key(std::string_view model) { return std::string(model) + "-fast"; }

}  // namespace qm::pricing
