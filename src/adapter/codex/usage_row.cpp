#include "adapter/codex/usage_row.h"

#include <algorithm>
#include <limits>

#include "sort.h"
#include "util.h"

namespace qm::all::loader {

UsageRow codex_usage_row(const std::string& date, const codex::aggregate::CodexDayBucket& bucket,
                         codex::aggregate::ModelPrices& prices, codex::home::CodexServiceTier tier) {
  auto minus = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; };
  UsageRow row;
  row.label = date;
  row.agents = {"codex"};
  row.agent_id = "codex";
  double cost = 0.0;
  for (const auto& [model, t] : bucket.models) {  // ascending model names
    const auto& price = prices.get(model);
    ModelUsage mu;
    mu.model = model;
    mu.input = minus(t.input, t.cached_input);
    mu.output = t.output;
    mu.cache_read = t.cached_input;
    mu.cost = codex::aggregate::row_cost(price, t, tier);
    mu.unpriced = std::max(t.total, util::saturating_add(t.input, t.output)) > 0 && !price;
    cost += mu.cost;
    row.models.push_back(model);
    row.model_usages.push_back(std::move(mu));
  }
  sort::sort_model_usages(row.model_usages);
  row.input = minus(bucket.sums.input, bucket.sums.cached_input);
  row.output = bucket.sums.output;
  row.cache_read = bucket.sums.cached_input;
  row.total = bucket.sums.total;
  row.cost = cost;
  row.metadata = RowMetadata{.codex = CodexDayMetadata{bucket.last_activity, bucket.sums.reasoning_output}};
  return row;
}

UsageRow codex_usage_row(const std::string& date, const codex::aggregate::CodexDayBucket& bucket,
                         const pricing::PricingTable& prices, codex::home::CodexServiceTier tier) {
  codex::aggregate::ModelPrices cache(prices);
  return codex_usage_row(date, bucket, cache, tier);
}

}  // namespace qm::all::loader
