#include "adapter/claude/paths.h"

#include <sys/stat.h>

#include <algorithm>

#include "reader/files.h"
#include "util.h"
#include "util_files.h"

namespace qm::claude {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBadConfigDir =
    "No valid Claude data directories found in CLAUDE_CONFIG_DIR. Expected each path to be a Claude config "
    "directory containing 'projects/', or the 'projects/' directory itself: ";

// Follows symbolic links; false for anything that cannot be examined.
bool is_dir(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool holds_projects(const fs::path& dir) { return is_dir(dir / "projects"); }

void add_once(std::vector<fs::path>& dirs, fs::path dir) {
  for (const auto& d : dirs)
    if (util::same_path(d, dir)) return;
  dirs.push_back(std::move(dir));
}

fs::path expand_tilde(const std::string& piece) {
  if (piece != "~" && !piece.starts_with("~/")) return piece;
  auto home = util::home_dir();
  if (!home) return piece;
  if (piece == "~") return *home;
  return fs::path(*home) / piece.substr(2);
}

// The last component and the path without it, ignoring trailing separators and "." parts.
std::pair<std::string, fs::path> split_last(const fs::path& p) {
  std::vector<fs::path> parts;
  bool first = true;
  for (const auto& c : p) {
    if (c.empty() || (c == "." && !first)) continue;
    parts.push_back(c);
    first = false;
  }
  if (parts.empty()) return {};
  fs::path parent;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent /= parts[i];
  return {parts.back().string(), parent};
}

std::expected<std::vector<fs::path>, std::string> from_config_dir(const std::string& value) {
  std::vector<fs::path> dirs;
  for (const auto& piece : util::split_entries(value)) {
    fs::path dir = expand_tilde(piece);
    auto [last, parent] = split_last(dir);
    if (last == "projects" && is_dir(dir)) dir = parent;
    if (holds_projects(dir)) add_once(dirs, std::move(dir));
  }
  if (dirs.empty()) return std::unexpected(std::string(kBadConfigDir) + value);
  return dirs;
}

}  // namespace

std::expected<std::vector<fs::path>, std::string> claude_data_dirs() {
  if (auto value = util::env("CLAUDE_CONFIG_DIR"); value && util::is_valid_utf8(*value)) return from_config_dir(*value);
  auto home = util::home_dir();
  if (!home) return std::unexpected(std::string(util::kNoHome));
  std::vector<fs::path> dirs;
  auto xdg = util::env("XDG_CONFIG_HOME");
  fs::path config =
      xdg && util::is_valid_utf8(*xdg) ? fs::path(*xdg) / "claude" : fs::path(*home) / ".config" / "claude";
  for (auto& candidate : {config, fs::path(*home) / ".claude"})
    if (holds_projects(candidate)) add_once(dirs, candidate);
  return dirs;
}

std::vector<fs::path> collect_usage_files(const std::vector<fs::path>& data_dirs, UnreadFiles& unread) {
  std::vector<fs::path> files;
  std::vector<util::Unlisted> unlisted;
  for (const auto& dir : data_dirs) util::collect_jsonl_files(dir / "projects", files, &unlisted);
  reader::add_unlisted(unlisted, unread);
  // Invalid UTF-8 in a path reads as U+FFFD for the comparison only.
  if (std::ranges::all_of(files, [](const fs::path& p) { return util::is_valid_utf8(p.native()); })) {
    std::ranges::stable_sort(files, [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
    return files;
  }
  std::vector<std::pair<std::string, fs::path>> keyed;
  keyed.reserve(files.size());
  for (auto& f : files) keyed.emplace_back(util::utf8_lossy(f.native()), std::move(f));
  std::ranges::stable_sort(keyed, [](const auto& a, const auto& b) { return a.first < b.first; });
  files.clear();
  for (auto& [key, f] : keyed) files.push_back(std::move(f));
  return files;
}

}  // namespace qm::claude
