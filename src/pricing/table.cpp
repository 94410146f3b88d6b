#include "pricing/table.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <simdjson.h>

#include "http/client.h"
#include "http/hosts.h"
#include "json/strict.h"
#include "log.h"
#include "no_destructor.h"
#include "pricing/lookup.h"
#include "progress.h"
#include "util.h"
#include "util_json.h"

namespace qm::embedded {
extern const std::string_view litellm_pricing;
extern const std::string_view models_dev_pricing;
extern const std::string_view fast_multiplier_overrides;
}  // namespace qm::embedded

namespace qm::pricing {

MissMemo& MissMemo::operator=(const MissMemo& other) {
  if (this != &other) {
    std::unique_lock lock(mutex_);
    winners_.clear();
  }
  return *this;
}

MissMemo& MissMemo::operator=(MissMemo&&) noexcept {
  std::unique_lock lock(mutex_);
  winners_.clear();
  return *this;
}

std::optional<std::optional<std::string>> MissMemo::find(std::string_view model, std::size_t key_count) const {
  std::shared_lock lock(mutex_);
  if (key_count != key_count_) return std::nullopt;
  auto it = winners_.find(model);
  if (it == winners_.end()) return std::nullopt;
  return it->second;
}

void MissMemo::remember(std::string_view model, std::optional<std::string> key, std::size_t key_count) const {
  constexpr std::size_t kMaxNames = 65536;  // distinct unknown names are few; bound them anyway
  std::unique_lock lock(mutex_);
  if (key_count != key_count_) {
    winners_.clear();
    key_count_ = key_count;
  }
  if (winners_.size() < kMaxNames) winners_.emplace(std::string(model), std::move(key));
}

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::size_t kPriceFieldCount = 8;

// The ten fields of a LiteLLM record, in the order both forms list them.
struct LiteLlmRecord {
  std::optional<double> prices[kPriceFieldCount];  // input, output, cc, cr, then the four above 200k
  std::optional<std::uint64_t> max_input_tokens;
  std::optional<double> fast;
};

constexpr std::string_view kCompactNames[kPriceFieldCount] = {"i", "o", "cc", "cr", "ia", "oa", "cca", "cra"};
constexpr std::string_view kFullNames[kPriceFieldCount] = {
    "input_cost_per_token",
    "output_cost_per_token",
    "cache_creation_input_token_cost",
    "cache_read_input_token_cost",
    "input_cost_per_token_above_200k_tokens",
    "output_cost_per_token_above_200k_tokens",
    "cache_creation_input_token_cost_above_200k_tokens",
    "cache_read_input_token_cost_above_200k_tokens",
};

// Each reader gives false for a value of the wrong type; null counts as absent. A number
// beyond a double's range is no price: it would make every cost of the model infinite.
bool read_number(std::optional<element> v, std::optional<double>& out) {
  if (!v || v->is_null()) return true;
  switch (v->type()) {
    case element_type::INT64: out = static_cast<double>(int64_t(*v)); return true;
    case element_type::UINT64: out = static_cast<double>(uint64_t(*v)); return true;
    case element_type::DOUBLE:
      if (!std::isfinite(double(*v))) return false;
      out = double(*v);
      return true;
    default: return false;
  }
}

bool read_unsigned(std::optional<element> v, std::optional<std::uint64_t>& out) {
  if (!v || v->is_null()) return true;
  if (v->type() == element_type::UINT64) {
    out = uint64_t(*v);
    return true;
  }
  if (v->type() == element_type::INT64 && int64_t(*v) >= 0) {
    out = static_cast<std::uint64_t>(int64_t(*v));
    return true;
  }
  return false;
}

bool read_text(std::optional<element> v, std::optional<std::string>& out) {
  if (!v || v->is_null()) return true;
  std::string_view s;
  if (v->get_string().get(s)) return false;
  out = std::string(s);
  return true;
}

// The provider entry: an object whose "fast" is the multiplier; other members are ignored.
bool read_provider_entry(std::optional<element> v, std::optional<double>& fast) {
  if (!v || v->is_null()) return true;
  if (!v->is_object()) return false;
  return read_number(util::last_member(*v, "fast"), fast);
}

std::optional<LiteLlmRecord> read_litellm_record(element value) {
  LiteLlmRecord r;
  if (value.is_array()) {
    simdjson::dom::array items = value.get_array().value_unsafe();
    if (items.size() > kPriceFieldCount + 2) return std::nullopt;
    std::size_t i = 0;
    for (element item : items) {
      bool ok = i < kPriceFieldCount ? read_number(item, r.prices[i])
                : i == kPriceFieldCount ? read_unsigned(item, r.max_input_tokens)
                : item.is_object()      ? read_provider_entry(item, r.fast)
                                        : read_number(item, r.fast);
      if (!ok) return std::nullopt;
      ++i;
    }
    return r;
  }
  if (!value.is_object()) return std::nullopt;
  bool compact = util::last_member(value, "i") && util::last_member(value, "o");
  const auto& names = compact ? kCompactNames : kFullNames;
  for (std::size_t i = 0; i < kPriceFieldCount; ++i)
    if (!read_number(util::last_member(value, names[i]), r.prices[i])) return std::nullopt;
  if (!read_unsigned(util::last_member(value, compact ? "ctx" : "max_input_tokens"), r.max_input_tokens))
    return std::nullopt;
  bool fast_ok = compact ? read_number(util::last_member(value, "fast"), r.fast)
                         : read_provider_entry(util::last_member(value, "provider_specific_entry"), r.fast);
  if (!fast_ok) return std::nullopt;
  return r;
}

bool read_models_dev_model(element value, ModelsDevModel& model) {
  if (!value.is_object()) return false;
  if (!read_text(util::last_member(value, "id"), model.id)) return false;
  if (auto cost = util::last_member(value, "cost"); cost && !cost->is_null()) {
    if (!cost->is_object()) return false;
    ModelsDevCost c;
    if (!read_number(util::last_member(*cost, "input"), c.input) || !read_number(util::last_member(*cost, "output"), c.output) ||
        !read_number(util::last_member(*cost, "cache_read"), c.cache_read) ||
        !read_number(util::last_member(*cost, "cache_write"), c.cache_write))
      return false;
    model.cost = c;
  }
  if (auto limit = util::last_member(value, "limit"); limit && !limit->is_null()) {
    if (!limit->is_object()) return false;
    ModelsDevLimit l;
    if (!read_unsigned(util::last_member(*limit, "context"), l.context)) return false;
    model.limit = l;
  }
  return true;
}

bool read_models_dev_map(element models, ModelsDevModels& out) {
  simdjson::dom::object obj;
  if (models.get_object().get(obj)) return false;
  for (auto [key, value] : util::unique_members(obj)) {
    ModelsDevModel model;
    if (!read_models_dev_model(value, model)) return false;
    out.emplace_back(std::string(key), std::move(model));
  }
  return true;
}

bool has_models_object(element provider) {
  auto models = util::last_member(provider, "models");
  return models && models->is_object();
}

struct BuiltIn {
  const char* key;
  double input, output, cache_creation, cache_read;
  bool fast_from_overrides = false;
  bool explicit_cache_read = true;
};

// Prices the program fixes itself, inserted over the compiled-in LiteLLM data in this order.
constexpr BuiltIn kBuiltIns[] = {
    {"claude-opus-4-5", 5e-6, 2.5e-5, 6.25e-6, 5e-7},
    {"claude-opus-4-6", 5e-6, 2.5e-5, 6.25e-6, 5e-7, true},
    {"claude-opus-4-7", 5e-6, 2.5e-5, 6.25e-6, 5e-7, true},
    {"claude-opus-4-8", 5e-6, 2.5e-5, 6.25e-6, 5e-7, true},
    {"claude-haiku-4-5", 1e-6, 5e-6, 1.25e-6, 1e-7},
    {"claude-opus-4", 1.5e-5, 7.5e-5, 1.875e-5, 1.5e-6},
    {"claude-sonnet-4-6", 3e-6, 1.5e-5, 3.75e-6, 3e-7},
    {"claude-sonnet-4", 3e-6, 1.5e-5, 3.75e-6, 3e-7},  // with prices above 200k, set below
    {"claude-3-5-haiku", 8e-7, 4e-6, 1e-6, 8e-8},
    {"claude-3-5-haiku-20241022", 8e-7, 4e-6, 1e-6, 8e-8},
    {"claude-3-opus", 1.5e-5, 7.5e-5, 1.875e-5, 1.5e-6},
    {"claude-3-sonnet", 3e-6, 1.5e-5, 3.75e-6, 3e-7},
    {"claude-3-haiku", 2.5e-7, 1.25e-6, 3e-7, 3e-8},
    {"gpt-5", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
    {"gpt-5.5", 5e-6, 3e-5, 5e-6, 5e-7, true},
    {"grok-4.3", 1.25e-6, 2.5e-6, 1.25e-6, 1.25e-7, false, false},
    {"moonshot/kimi-k2.5", 6e-7, 3e-6, 7.5e-7, 1e-7},
    {"moonshot/kimi-k2.6", 9.5e-7, 4e-6, 1.1875e-6, 1.6e-7},
    {"gpt-5.1", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
    {"gpt-5.1-codex", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
    {"gpt-5.2-codex", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7},
    {"gpt-5.3-codex", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7, true},
    {"gpt-5.2", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7},
    {"gpt-5.4", 2.5e-6, 1.5e-5, 2.5e-6, 2.5e-7, true},
    {"gpt-5.4-mini", 7.5e-7, 4.5e-6, 7.5e-7, 7.5e-8},
    {"gpt-5.4-nano", 2e-7, 1.25e-6, 2e-7, 2e-8},
    {"glm-4.5", 6e-7, 2.2e-6, 0, 1.1e-7},
    {"zai/glm-4.5", 6e-7, 2.2e-6, 0, 1.1e-7},
    {"zai/glm-4.5-x", 2.2e-6, 8.9e-6, 0, 4.5e-7},
    {"zai/glm-4.5-air", 2e-7, 1.1e-6, 0, 3e-8},
    {"zai/glm-4.5-airx", 1.1e-6, 4.5e-6, 0, 2.2e-7},
    {"zai/glm-4.5v", 6e-7, 1.8e-6, 0, 1.1e-7},
    {"zai/glm-4-32b-0414-128k", 1e-7, 1e-7, 0, 0},
    {"zai/glm-4.5-flash", 0, 0, 0, 0},
    {"glm-4.6", 6e-7, 2.2e-6, 0, 1.1e-7},
    {"glm-4.7", 6e-7, 2.2e-6, 0, 1.1e-7},
    {"glm-5", 1e-6, 3.2e-6, 0, 2e-7},
    {"glm-5-turbo", 1.2e-6, 4e-6, 0, 2.4e-7},
    {"glm-5.1", 1.4e-6, 4.4e-6, 0, 2.6e-7},
};

void warn(const std::string& line) {
  if (log::debug_enabled()) std::fputs(line.c_str(), stderr);
}

[[noreturn]] void embedded_data_broken(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::abort();
}

}  // namespace

std::vector<std::pair<std::string, ModelPrice>> built_in_entries(const FastMultiplierOverrides& overrides) {
  std::vector<std::pair<std::string, ModelPrice>> out;
  out.reserve(std::size(kBuiltIns));
  for (const auto& b : kBuiltIns) {
    ModelPrice p;
    p.input = b.input;
    p.output = b.output;
    p.cache_creation = b.cache_creation;
    p.cache_read = b.cache_read;
    p.explicit_cache_read = b.explicit_cache_read;
    if (b.fast_from_overrides) p.fast_multiplier = matches_fast_override(overrides, b.key).value_or(1.0);
    if (std::string_view(b.key) == "claude-sonnet-4") {
      p.input_above_200k = 6e-6;
      p.output_above_200k = 2.25e-5;
      p.cache_creation_above_200k = 7.5e-6;
      p.cache_read_above_200k = 6e-7;
    }
    out.emplace_back(b.key, p);
  }
  return out;
}

std::expected<std::string, std::string> http_get_text(const std::string& url) {
  http::Client client{.timeout = std::chrono::seconds(10), .body_cap = 67'108'864};
  auto response = http::get(client, url);
  if (!response) return std::unexpected(response.error());
  if (response->status != 200) return std::unexpected("HTTP " + std::to_string(response->status));
  return std::move(response->body);
}

std::size_t parse_litellm_prices(PricingTable& table, std::string_view text, const FastMultiplierOverrides& overrides) {
  json::StrictParser parser;
  auto doc = parser.parse_copy(text);
  simdjson::dom::object obj;
  if (!doc || doc->get_object().get(obj)) return 0;
  std::size_t added = 0;
  // A later duplicate key replaces an earlier one, also when the later record is unusable.
  for (auto [key, value] : util::unique_members(obj)) {
    auto record = read_litellm_record(value);
    if (!record || !record->prices[0] || !record->prices[1]) continue;
    const auto& f = record->prices;
    ModelPrice p;
    p.input = *f[0];
    p.output = *f[1];
    p.cache_creation = f[2].value_or(p.input * 1.25);
    p.cache_read = f[3].value_or(p.input * 0.1);
    p.explicit_cache_read = f[3].has_value();
    p.input_above_200k = f[4];
    p.output_above_200k = f[5];
    p.cache_creation_above_200k = f[6];
    p.cache_read_above_200k = f[7];
    p.fast_multiplier = record->fast ? *record->fast : matches_fast_override(overrides, key).value_or(1.0);
    table.prices.insert_or_assign(std::string(key), p);
    ++added;
  }
  return added;
}

FastMultiplierOverrides load_fast_multiplier_overrides() {
  simdjson::dom::parser parser;
  element doc;
  FastMultiplierOverrides out;
  auto fill = [&](std::string_view name, std::map<std::string, double, std::less<>>& into) {
    auto map = util::last_member(doc, name);
    simdjson::dom::object obj;
    if (!map || map->get_object().get(obj)) return false;
    for (auto [key, value] : obj) {
      std::optional<double> m;
      if (!read_number(value, m) || !m) return false;
      into.insert_or_assign(std::string(key), *m);
    }
    return true;
  };
  const auto text = embedded::fast_multiplier_overrides;
  if (parser.parse(text.data(), text.size()).get(doc) || !fill("exact", out.exact) ||
      !fill("normalized_prefix", out.normalized_prefix))
    embedded_data_broken("parse embedded fast-multiplier-overrides.json");
  return out;
}

std::size_t merge_models_dev_prices(PricingTable& table, const ModelsDevModels& models) {
  std::size_t added = 0;
  for (const auto& [key, model] : models) {
    const std::string& name = model.id ? *model.id : key;
    if (table.prices.contains(name) || !model.cost || !model.cost->input || !model.cost->output) continue;
    const auto& c = *model.cost;
    ModelPrice p;
    p.input = *c.input / 1'000'000;
    p.output = *c.output / 1'000'000;
    p.cache_creation = c.cache_write ? *c.cache_write / 1'000'000 : p.input * 1.25;
    p.cache_read = c.cache_read ? *c.cache_read / 1'000'000 : p.input * 0.1;
    p.explicit_cache_read = c.cache_read.has_value();
    table.prices.emplace(name, p);
    ++added;
  }
  return added;
}

bool parse_models_dev(PricingTable& table, std::string_view text) {
  json::StrictParser parser;
  auto doc = parser.parse_copy(text);
  simdjson::dom::object obj;
  if (!doc || doc->get_object().get(obj)) return false;
  const auto members = util::unique_members(obj);

  bool catalogue = false;
  for (auto [key, value] : members) catalogue = catalogue || has_models_object(value);

  // Everything is read before anything is merged, so a rejected document adds nothing.
  // Providers merge in document order: where two list the same id, the first one's price
  // stands, and a run is reproducible.
  std::vector<ModelsDevModels> groups;
  if (catalogue) {
    for (auto [key, provider] : members) {
      if (!has_models_object(provider)) return false;
      groups.emplace_back();
      if (!read_models_dev_map(*util::last_member(provider, "models"), groups.back())) return false;
    }
  } else {
    for (auto [key, value] : members) {
      auto cost = util::last_member(value, "cost");
      std::optional<double> input, output;
      if (!cost || !cost->is_object() || !read_number(util::last_member(*cost, "input"), input) ||
          !read_number(util::last_member(*cost, "output"), output) || !input || !output)
        return false;
    }
    groups.emplace_back();
    if (!read_models_dev_map(*doc, groups.back())) return false;
  }
  for (const auto& models : groups) merge_models_dev_prices(table, models);
  return true;
}

const PricingTable& embedded_models_dev_table() {
  static const NoDestructor<PricingTable> table([] {
    PricingTable t;
    if (!parse_models_dev(t, embedded::models_dev_pricing))
      embedded_data_broken("embedded models-dev-pricing.json must parse");
    return t;
  }());
  return table.get();
}

void apply_config_overrides(PricingTable& table, const std::map<std::string, ConfigPricingOverride>& overrides) {
  for (const auto& [key, o] : overrides) {
    ModelPrice base;
    if (auto it = table.prices.find(key); it != table.prices.end()) base = it->second;
    const bool scaling = o.input_cost_per_token && base.input > 0 && !base.explicit_cache_read;
    const double ratio = scaling ? *o.input_cost_per_token / base.input : 1.0;
    auto scaled = [&](double value) { return scaling && value > 0 ? value * ratio : value; };
    auto scaled_above = [&](std::optional<double> value) -> std::optional<double> {
      if (scaling && value) return *value * ratio;
      return value;
    };

    ModelPrice p = base;
    p.input = o.input_cost_per_token.value_or(base.input);
    p.output = o.output_cost_per_token.value_or(base.output);
    p.cache_creation = o.cache_creation_input_token_cost.value_or(scaled(base.cache_creation));
    p.cache_read = o.cache_read_input_token_cost.value_or(scaled(base.cache_read));
    p.input_above_200k = o.input_cost_per_token_above_200k_tokens ? o.input_cost_per_token_above_200k_tokens
                                                                  : base.input_above_200k;
    p.output_above_200k = o.output_cost_per_token_above_200k_tokens ? o.output_cost_per_token_above_200k_tokens
                                                                    : base.output_above_200k;
    p.cache_creation_above_200k = o.cache_creation_input_token_cost_above_200k_tokens
                                      ? o.cache_creation_input_token_cost_above_200k_tokens
                                      : scaled_above(base.cache_creation_above_200k);
    p.cache_read_above_200k = o.cache_read_input_token_cost_above_200k_tokens
                                  ? o.cache_read_input_token_cost_above_200k_tokens
                                  : scaled_above(base.cache_read_above_200k);
    p.fast_multiplier = o.fast_multiplier.value_or(base.fast_multiplier);
    p.explicit_cache_read = base.explicit_cache_read || o.cache_read_input_token_cost.has_value();
    table.prices.insert_or_assign(key, p);
  }
}

namespace {

// The compiled-in LiteLLM rows under the built-in entries, parsed once.
const PricingTable& compiled_in_prices() {
  static const NoDestructor<PricingTable> table([] {
    PricingTable t;
    const auto fast = load_fast_multiplier_overrides();
    parse_litellm_prices(t, embedded::litellm_pricing, fast);
    for (auto& [key, price] : built_in_entries(fast)) t.prices.insert_or_assign(std::move(key), price);
    t.embedded_models_dev_allowed = true;
    return t;
  }());
  return table.get();
}

void fetch_litellm(bool show_progress, PricingTable& into) {
  auto handle = progress::start_spinner(show_progress && progress::spinner_enabled());
  progress::set_message(handle, "Refreshing model pricing from LiteLLM...");
  auto url = http::hosts::litellm_prices_url();
  auto text = url ? http_get_text(*url) : std::unexpected(url.error());
  // The handle may share a spinner that goes on drawing: take the message back first.
  progress::set_message(handle, std::nullopt);
  progress::stop_spinner(handle);
  if (!text) {
    warn("WARN  Failed to fetch LiteLLM pricing (" + text.error() + "); using embedded pricing.\n");
  } else if (parse_litellm_prices(into, *text, load_fast_multiplier_overrides()) == 0) {
    warn("WARN  Failed to parse LiteLLM pricing; using embedded pricing.\n");
  }
}

}  // namespace

LiteLlmDownload& process_litellm_download() {
  static NoDestructor<LiteLlmDownload> download;
  return download.get();
}

PricingTable load_price_table(bool offline, bool show_progress,
                              const std::map<std::string, ConfigPricingOverride>& overrides) {
  return load_price_table(offline, show_progress, overrides, process_litellm_download());
}

PricingTable load_price_table(bool offline, bool show_progress,
                              const std::map<std::string, ConfigPricingOverride>& overrides,
                              LiteLlmDownload& download) {
  PricingTable table = compiled_in_prices();
  if (!offline) {
    std::lock_guard lock(download.mutex);
    if (!download.tried) {
      download.tried = true;
      fetch_litellm(show_progress, download.table);
    }
    for (const auto& [key, price] : download.table.prices) table.prices.insert_or_assign(key, price);
  }
  table.models_dev_download_allowed = !offline;
  apply_config_overrides(table, overrides);
  return table;
}

}  // namespace qm::pricing
