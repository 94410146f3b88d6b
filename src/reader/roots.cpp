#include "reader/roots.h"

#include <system_error>
#include <unordered_set>

#include "util.h"
#include "util_files.h"

namespace qm::reader {

std::optional<std::vector<fs::path>> env_list(const char* variable) {
  auto value = util::env(variable);
  if (!value || !util::is_valid_utf8(*value)) return std::nullopt;
  std::vector<fs::path> out;
  for (auto& entry : util::split_entries(*value)) out.emplace_back(std::move(entry));
  return out;
}

std::optional<std::vector<fs::path>> listed_dirs(const char* variable) {
  auto value = util::env(variable);
  if (!value || util::trim(*value).empty()) return std::nullopt;
  auto entries = env_list(variable);
  if (!entries) return std::nullopt;
  return existing_dirs(*entries);
}

std::optional<fs::path> env_path(const char* variable) {
  auto value = util::env(variable);
  if (!value || !util::is_valid_utf8(*value)) return std::nullopt;
  std::string_view trimmed = util::trim(*value);
  if (trimmed.empty()) return std::nullopt;
  return fs::path(trimmed);
}

std::expected<fs::path, std::string> below_home(std::string_view relative) {
  auto home = util::home_dir();
  if (!home) return std::unexpected(std::string(util::kNoHome));
  return fs::path(*home) / relative;
}

namespace {
std::optional<fs::path> xdg_dir(const char* variable, std::string_view below_home) {
  if (auto xdg = util::env(variable); xdg && fs::path(*xdg).is_absolute()) return fs::path(*xdg);
  auto home = util::home_dir();
  if (!home) return std::nullopt;
  return fs::path(*home) / below_home;
}
}  // namespace

std::optional<fs::path> xdg_data_home() { return xdg_dir("XDG_DATA_HOME", ".local/share"); }
std::optional<fs::path> xdg_config_home() { return xdg_dir("XDG_CONFIG_HOME", ".config"); }

std::vector<fs::path> existing_dirs(const std::vector<fs::path>& candidates) {
  std::vector<fs::path> out;
  std::vector<fs::path> real;  // of each kept directory; empty when it could not be had
  for (const auto& c : candidates) {
    std::error_code ec;
    if (!fs::is_directory(c, ec)) continue;
    fs::path r = fs::canonical(c, ec);
    if (ec) r.clear();
    bool seen = false;
    for (std::size_t i = 0; i < out.size() && !seen; ++i)
      seen = util::same_path(out[i], c) || (!r.empty() && r == real[i]);
    if (seen) continue;
    out.push_back(c);  // as written: readers name files by their root
    real.push_back(std::move(r));
  }
  return out;
}

std::vector<fs::path> canonical_files(const std::vector<fs::path>& candidates) {
  std::vector<fs::path> out;
  std::unordered_set<std::string> seen;  // a walk may give thousands of files
  for (const auto& c : candidates) {
    std::error_code ec;
    fs::path p = fs::canonical(c, ec);
    if (ec) p = c;
    if (!fs::is_regular_file(p, ec)) continue;
    if (seen.insert(p.native()).second) out.push_back(std::move(p));
  }
  return out;
}

std::expected<std::vector<fs::path>, std::string> candidate_roots(const char* variable, std::string_view default_below_home,
                                                                  NoHome no_home) {
  return candidate_roots(variable, {default_below_home}, no_home);
}

std::expected<std::vector<fs::path>, std::string> candidate_roots(const char* variable,
                                                                  std::initializer_list<std::string_view> defaults_below_home,
                                                                  NoHome no_home) {
  if (auto listed = env_list(variable)) return std::move(*listed);
  auto home = below_home("");
  if (!home) {
    if (no_home == NoHome::Empty) return std::vector<fs::path>{};
    return std::unexpected(home.error());
  }
  std::vector<fs::path> out;
  for (auto relative : defaults_below_home) out.push_back(*home / relative);
  return out;
}

std::expected<std::vector<fs::path>, std::string> directory_roots(const char* variable, std::string_view default_below_home,
                                                                  NoHome no_home) {
  auto candidates = candidate_roots(variable, default_below_home, no_home);
  if (!candidates) return candidates;
  return existing_dirs(*candidates);
}

}  // namespace qm::reader
