#pragma once
// Finding the price of a model name as the agents spell it: the exact key, else the longest
// key contained at a word boundary (either way round, also with dots read as dashes), else
// the models.dev catalogue (downloaded once per process, then compiled in).
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "pricing/table.h"

namespace qm::pricing {

// The downloaded models.dev catalogue and the time of the last failed attempt.
struct ModelsDevCache {
  ModelsDevCache() = default;
  ~ModelsDevCache() { delete downloaded.load(); }
  ModelsDevCache(const ModelsDevCache&) = delete;
  ModelsDevCache& operator=(const ModelsDevCache&) = delete;

  std::atomic<const PricingTable*> downloaded{nullptr};  // filled at most once
  std::mutex mutex;  // guards only last_failure, never held across a download
  // One download at a time: threads that miss together wait for the same outcome, so a
  // model is priced alike in every file whatever the number of workers.
  std::mutex download;
  std::optional<std::chrono::steady_clock::time_point> last_failure;
};
inline constexpr std::chrono::seconds kModelsDevRetryGap{60};

// The process-wide cache that `price_for_model` uses.
ModelsDevCache& process_models_dev_cache();

std::optional<ModelPrice> price_for_model(const PricingTable& table, std::string_view model);
std::optional<ModelPrice> price_for_model(const PricingTable& table, std::string_view model, ModelsDevCache& cache);

// One table, with the "gpt-5.3-spark" alias.
std::optional<ModelPrice> find_price(const PricingTable& table, std::string_view model);
// One table: exact key, else the best containment match (longest key, then bytewise smallest).
std::optional<ModelPrice> lookup_price(const PricingTable& table, std::string_view model);

bool price_key_matches(std::string_view model, std::string_view dashed_model, std::string_view key);
bool contains_at_boundary(std::string_view text, std::string_view part);
std::string dots_to_dashes(std::string_view name);

std::optional<double> matches_fast_override(const FastMultiplierOverrides& overrides, std::string_view model);

}  // namespace qm::pricing
