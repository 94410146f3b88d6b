#include "config.h"

#include <cmath>
#include <unistd.h>

#include <array>

#include "json/strict.h"
#include "util.h"
#include "util_files.h"
#include "util_json.h"

namespace qm::config {
namespace {

using simdjson::dom::element;
using util::last_member;

// A field of an override: null means not set; a value of the wrong type fails the entry.
using FieldResult = std::expected<void, std::string>;

FieldResult read_number(element v, std::optional<double>& out) {
  if (v.is_null()) return {};
  auto d = json::as_number(v);
  if (!d || !std::isfinite(*d)) return std::unexpected(std::string("expected a number"));
  out = *d;
  return {};
}

FieldResult read_count(element v, std::optional<std::uint64_t>& out) {
  if (v.is_null()) return {};
  auto n = util::value_as_u64(v);
  if (!n) return std::unexpected(std::string("expected a non-negative integer"));
  out = *n;
  return {};
}

constexpr std::array<std::string_view, 10> kOverrideKeys = {
    "inputCostPerToken",
    "outputCostPerToken",
    "cacheCreationInputTokenCost",
    "cacheReadInputTokenCost",
    "inputCostPerTokenAbove200kTokens",
    "outputCostPerTokenAbove200kTokens",
    "cacheCreationInputTokenCostAbove200kTokens",
    "cacheReadInputTokenCostAbove200kTokens",
    "maxInputTokens",
    "fastMultiplier",
};

FieldResult read_override_field(std::size_t index, element v, ConfigPricingOverride& o) {
  switch (index) {
    case 0: return read_number(v, o.input_cost_per_token);
    case 1: return read_number(v, o.output_cost_per_token);
    case 2: return read_number(v, o.cache_creation_input_token_cost);
    case 3: return read_number(v, o.cache_read_input_token_cost);
    case 4: return read_number(v, o.input_cost_per_token_above_200k_tokens);
    case 5: return read_number(v, o.output_cost_per_token_above_200k_tokens);
    case 6: return read_number(v, o.cache_creation_input_token_cost_above_200k_tokens);
    case 7: return read_number(v, o.cache_read_input_token_cost_above_200k_tokens);
    case 8: return read_count(v, o.max_input_tokens);
    default: return read_number(v, o.fast_multiplier);
  }
}

std::expected<ConfigPricingOverride, std::string> parse_override(element v) {
  ConfigPricingOverride o;
  if (v.is_array()) {
    auto arr = v.get_array().value_unsafe();
    if (arr.size() != kOverrideKeys.size()) return std::unexpected(std::string("expected an array of ten values"));
    std::size_t i = 0;
    for (element item : arr)
      if (auto r = read_override_field(i++, item, o); !r) return std::unexpected(r.error());
    return o;
  }
  if (!v.is_object()) return std::unexpected(std::string("expected an object or an array"));
  std::array<bool, kOverrideKeys.size()> seen{};
  simdjson::dom::object fields = v.get_object().value_unsafe();
  for (auto field : fields) {
    for (std::size_t i = 0; i < kOverrideKeys.size(); ++i) {
      if (field.key != kOverrideKeys[i]) continue;
      if (seen[i]) return std::unexpected("duplicate field `" + std::string(kOverrideKeys[i]) + "`");
      seen[i] = true;
      if (auto r = read_override_field(i, field.value, o); !r) return std::unexpected(r.error());
    }
  }
  return o;
}

template <typename T>
void set_if(std::optional<T> v, T& field) {
  if (v) field = std::move(*v);
}

void apply_layer(element layer, CommonOptions& o) {
  if (auto s = string_field(layer, "since")) o.since = date_bound(*s);
  if (auto s = string_field(layer, "until")) o.until = date_bound(*s);
  set_if(bool_field(layer, "json"), o.json);
  if (auto v = last_member(layer, "mode"))
    if (auto m = deserialize_cost_mode(*v)) o.mode = *m;
  set_if(bool_field(layer, "debug"), o.debug);
  if (auto n = util::value_as_u64(last_member(layer, "debugSamples"))) o.debug_samples = *n;
  if (auto v = last_member(layer, "order"))
    if (auto s = deserialize_sort_order(*v)) o.order = *s;
  set_if(bool_field(layer, "breakdown"), o.breakdown);
  set_if(bool_field(layer, "offline"), o.offline);
  set_if(bool_field(layer, "noOffline"), o.no_offline);
  set_if(bool_field(layer, "color"), o.color);
  set_if(bool_field(layer, "noColor"), o.no_color);
  if (auto s = string_field(layer, "timezone")) o.timezone = std::move(*s);
  if (auto s = string_field(layer, "jq")) o.jq = std::move(*s);
  (void)bool_field(layer, "all");  // accepted, without effect
  set_if(bool_field(layer, "compact"), o.compact);
  set_if(bool_field(layer, "singleThread"), o.single_thread);
  set_if(bool_field(layer, "noCost"), o.no_cost);
  if (auto v = last_member(layer, "pricingOverrides")) {
    if (auto overrides = parse_pricing_overrides(*v)) {
      for (auto& [model, record] : *overrides) {
        auto [it, inserted] = o.pricing_overrides.try_emplace(model, record);
        if (!inserted) merge_pricing_override(it->second, record);
      }
    }
  }
}

}  // namespace

std::optional<bool> bool_field(element object, std::string_view key) {
  auto v = last_member(object, key);
  if (!v || !v->is_bool()) return std::nullopt;
  return v->get_bool().value_unsafe();
}

std::optional<std::string> string_field(element object, std::string_view key) {
  auto v = last_member(object, key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string(v->get_string().value_unsafe());
}

std::optional<element> object_field(element object, std::string_view key) {
  auto v = last_member(object, key);
  if (!v || !v->is_object()) return std::nullopt;
  return v;
}

std::expected<CostMode, std::string> deserialize_cost_mode(element v) {
  auto w = json::enum_word(v);
  if (w == "auto") return CostMode::Auto;
  if (w == "calculate") return CostMode::Calculate;
  if (w == "display") return CostMode::Display;
  return std::unexpected(std::string("unknown cost mode"));
}

std::expected<SortOrder, std::string> deserialize_sort_order(element v) {
  auto w = json::enum_word(v);
  if (w == "desc") return SortOrder::Desc;
  if (w == "asc") return SortOrder::Asc;
  return std::unexpected(std::string("unknown sort order"));
}

std::expected<std::map<std::string, ConfigPricingOverride>, std::string> parse_pricing_overrides(element value) {
  simdjson::dom::object obj;
  if (value.get_object().get(obj)) return std::unexpected(std::string("expected an object"));
  std::map<std::string, ConfigPricingOverride> out;
  for (auto field : obj) {
    auto o = parse_override(field.value);
    if (!o) return std::unexpected(o.error());
    out[std::string(field.key)] = *o;
  }
  return out;
}

void merge_pricing_override(ConfigPricingOverride& into, const ConfigPricingOverride& from) {
  auto take = [](auto& dst, const auto& src) {
    if (src) dst = src;
  };
  take(into.input_cost_per_token, from.input_cost_per_token);
  take(into.output_cost_per_token, from.output_cost_per_token);
  take(into.cache_creation_input_token_cost, from.cache_creation_input_token_cost);
  take(into.cache_read_input_token_cost, from.cache_read_input_token_cost);
  take(into.input_cost_per_token_above_200k_tokens, from.input_cost_per_token_above_200k_tokens);
  take(into.output_cost_per_token_above_200k_tokens, from.output_cost_per_token_above_200k_tokens);
  take(into.cache_creation_input_token_cost_above_200k_tokens, from.cache_creation_input_token_cost_above_200k_tokens);
  take(into.cache_read_input_token_cost_above_200k_tokens, from.cache_read_input_token_cost_above_200k_tokens);
  take(into.max_input_tokens, from.max_input_tokens);
  take(into.fast_multiplier, from.fast_multiplier);
}

std::optional<std::string> config_path_from_args(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "--config") return i + 1 < args.size() ? std::optional<std::string>(args[i + 1]) : std::nullopt;
    auto eq = a.find('=');
    if (eq != std::string_view::npos && a.substr(0, eq) == "--config" && eq + 1 < a.size())
      return std::string(a.substr(eq + 1));
  }
  return std::nullopt;
}

std::vector<std::filesystem::path> candidate_paths(const std::optional<std::string>& explicit_path) {
  if (explicit_path) return {*explicit_path};
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (!ec) out.push_back(cwd / ".quillimare" / "quillimare.json");
  auto home = util::home_dir();
  if (home) out.push_back(std::filesystem::path(*home) / ".config" / "quillimare" / "quillimare.json");
  auto claude = util::env("CLAUDE_CONFIG_DIR");
  if (claude && util::is_valid_utf8(*claude)) {
    for (const auto& dir : util::split_entries(*claude)) out.push_back(std::filesystem::path(dir) / "quillimare.json");
  } else if (home) {
    out.push_back(std::filesystem::path(*home) / ".config" / "claude" / "quillimare.json");
    out.push_back(std::filesystem::path(*home) / ".claude" / "quillimare.json");
  }
  return out;
}

ConfigFile::ConfigFile() = default;
ConfigFile::ConfigFile(ConfigFile&&) noexcept = default;
ConfigFile& ConfigFile::operator=(ConfigFile&&) noexcept = default;
ConfigFile::~ConfigFile() = default;

std::optional<ConfigFile> load_config(const std::vector<std::string>& args) {
  for (const auto& path : candidate_paths(config_path_from_args(args))) {
    auto text = util::read_file(path);
    if (!text) continue;
    ConfigFile cf;
    cf.path = path;
    cf.parser = std::make_unique<json::StrictParser>();
    auto root = cf.parser->parse_copy(*text);
    if (!root || !root->is_object()) continue;
    cf.root = std::make_unique<json::element>(*root);
    return cf;
  }
  return std::nullopt;
}

void apply_config(const ConfigFile& config, std::string_view command_key, CommonOptions& options) {
  if (auto defaults = object_field(*config.root, "defaults")) apply_layer(*defaults, options);
  if (auto commands = object_field(*config.root, "commands"))
    if (auto layer = object_field(*commands, command_key)) apply_layer(*layer, options);
}

}  // namespace qm::config
