#pragma once
// Per-token model prices: the table every reader prices its records from, assembled from the
// compiled-in LiteLLM data, the built-in entries, LiteLLM's downloaded list and the
// configuration's overrides; and the models.dev catalogues that a missed lookup falls back to.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config_override.h"

namespace qm::pricing {

// US dollars per token.
struct ModelPrice {
  std::optional<double> input_above_200k;
  std::optional<double> output_above_200k;
  std::optional<double> cache_creation_above_200k;
  std::optional<double> cache_read_above_200k;
  double input = 0.0;
  double output = 0.0;
  double cache_creation = 0.0;
  double cache_read = 0.0;
  double fast_multiplier = 1.0;
  bool explicit_cache_read = false;  // the source gave the cache-read price itself

  bool operator==(const ModelPrice&) const = default;
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// The key that won each missed lookup of a table (or that none did), so that a name no key
// equals walks the table once. Copies start empty. Assumes keys are only ever added: a
// change in the number of keys forgets everything.
class MissMemo {
 public:
  MissMemo() = default;
  MissMemo(const MissMemo&) {}
  MissMemo(MissMemo&&) noexcept {}
  MissMemo& operator=(const MissMemo&);
  MissMemo& operator=(MissMemo&&) noexcept;

  // Outer none: not remembered. Inner none: remembered as matching no key.
  std::optional<std::optional<std::string>> find(std::string_view model, std::size_t key_count) const;
  void remember(std::string_view model, std::optional<std::string> key, std::size_t key_count) const;

 private:
  mutable std::shared_mutex mutex_;
  mutable std::unordered_map<std::string, std::optional<std::string>, StringHash, std::equal_to<>> winners_;
  mutable std::size_t key_count_ = 0;
};

struct PricingTable {
  std::unordered_map<std::string, ModelPrice, StringHash, std::equal_to<>> prices;
  bool models_dev_download_allowed = false;
  bool embedded_models_dev_allowed = false;
  MissMemo memo;
};

struct FastMultiplierOverrides {
  std::map<std::string, double, std::less<>> exact;
  std::map<std::string, double, std::less<>> normalized_prefix;
};

// One models.dev model; costs are US dollars per million tokens.
struct ModelsDevCost {
  std::optional<double> input;
  std::optional<double> output;
  std::optional<double> cache_read;
  std::optional<double> cache_write;
};
struct ModelsDevLimit {
  std::optional<std::uint64_t> context;
};
struct ModelsDevModel {
  std::optional<std::string> id;
  std::optional<ModelsDevCost> cost;
  std::optional<ModelsDevLimit> limit;
};
// Map key and model, in document order.
using ModelsDevModels = std::vector<std::pair<std::string, ModelsDevModel>>;

// LiteLLM's list as downloaded: fetched and parsed at most once, then shared by every table
// built with it (the framework's and the readers' own), whatever the outcome was.
struct LiteLlmDownload {
  std::mutex mutex;
  bool tried = false;
  PricingTable table;  // the usable records; empty when the download failed
};

// The one that `load_price_table` uses.
LiteLlmDownload& process_litellm_download();

// Never fails: a download that cannot be used leaves the compiled-in data (with a warning
// when LOG_LEVEL is above 3). `show_progress` lets it set the spinner's message; loader
// threads pass false.
PricingTable load_price_table(bool offline, bool show_progress,
                              const std::map<std::string, ConfigPricingOverride>& overrides);
PricingTable load_price_table(bool offline, bool show_progress,
                              const std::map<std::string, ConfigPricingOverride>& overrides,
                              LiteLlmDownload& download);

// GET with a 10-second time-out and a 64 MiB cap; a status other than 200 is "HTTP {}".
std::expected<std::string, std::string> http_get_text(const std::string& url);

// Adds the usable records of a LiteLLM price document; gives how many.
std::size_t parse_litellm_prices(PricingTable& table, std::string_view text, const FastMultiplierOverrides& overrides);

FastMultiplierOverrides load_fast_multiplier_overrides();

// The prices the program fixes itself, in the order they go over the compiled-in LiteLLM rows.
std::vector<std::pair<std::string, ModelPrice>> built_in_entries(const FastMultiplierOverrides& overrides);

// A provider catalogue or a flat table; false when the document is rejected (then nothing is added).
bool parse_models_dev(PricingTable& table, std::string_view text);
// Adds the models whose name the table lacks; gives how many.
std::size_t merge_models_dev_prices(PricingTable& table, const ModelsDevModels& models);

// The compiled-in flat models.dev table, parsed on first use.
const PricingTable& embedded_models_dev_table();

// The configuration's overrides, in sorted key order, each on its exact key.
void apply_config_overrides(PricingTable& table, const std::map<std::string, ConfigPricingOverride>& overrides);

}  // namespace qm::pricing
