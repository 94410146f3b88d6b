#pragma once
// The configuration file "quillimare.json": found, read and layered under the command line.
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/dom_fwd.h"
#include "options.h"

namespace qm::config {

// A parsed configuration object; the parser owns the document the root points into.
// Integers beyond 64 bits are read as floats, as a generic JSON reader keeps them. Both are
// held by pointer so that this header does not include the parser.
struct ConfigFile {
  std::filesystem::path path;
  std::unique_ptr<json::StrictParser> parser;
  std::unique_ptr<json::element> root;

  ConfigFile();
  ConfigFile(ConfigFile&&) noexcept;
  ConfigFile& operator=(ConfigFile&&) noexcept;
  ~ConfigFile();
};

// Members are read by their last occurrence, as a map-based reader would keep them.
std::optional<bool> bool_field(simdjson::dom::element object, std::string_view key);
std::optional<std::string> string_field(simdjson::dom::element object, std::string_view key);
std::optional<simdjson::dom::element> object_field(simdjson::dom::element object, std::string_view key);
std::expected<CostMode, std::string> deserialize_cost_mode(simdjson::dom::element value);
std::expected<SortOrder, std::string> deserialize_sort_order(simdjson::dom::element value);

// The value of --config from a scan of the arguments (after the program name).
std::optional<std::string> config_path_from_args(const std::vector<std::string>& args);
std::vector<std::filesystem::path> candidate_paths(const std::optional<std::string>& explicit_path);
// The first candidate that reads as a JSON object, or none.
std::optional<ConfigFile> load_config(const std::vector<std::string>& args);

// Applies "defaults" and then the layer of the command key over the options.
void apply_config(const ConfigFile& config, std::string_view command_key, CommonOptions& options);

std::expected<std::map<std::string, ConfigPricingOverride>, std::string> parse_pricing_overrides(
    simdjson::dom::element value);
void merge_pricing_override(ConfigPricingOverride& into, const ConfigPricingOverride& from);

}  // namespace qm::config
