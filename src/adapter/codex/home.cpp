#include "adapter/codex/home.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "reader/files.h"
#include "util.h"
#include "util_files.h"

namespace qm::codex::home {
namespace {

namespace fs = std::filesystem;

// A path as its non-empty components, so that "/a//b/" and "/a/b" give the same key.
std::string component_key(const fs::path& p) {
  std::string key;
  for (const auto& part : p) {
    if (part.empty()) continue;
    key += part.native();
    key += '\0';
  }
  return key;
}

}  // namespace

std::expected<std::vector<fs::path>, std::string> codex_home_dirs() {
  if (auto value = util::env("CODEX_HOME"); value && util::is_valid_utf8(*value)) {
    std::vector<fs::path> homes;
    for (auto& entry : util::split_entries(*value)) homes.emplace_back(std::move(entry));
    return homes;
  }
  auto home = util::home_dir();
  if (!home) return std::unexpected(std::string(util::kNoHome));
  return std::vector<fs::path>{fs::path(*home) / ".codex"};
}

std::expected<std::vector<SessionDir>, std::string> session_dirs() {
  auto homes = codex_home_dirs();
  if (!homes) return std::unexpected(homes.error());
  std::vector<SessionDir> dirs;
  for (const auto& home : *homes) {
    for (const char* name : {"sessions", "archived_sessions"}) {
      fs::path dir = home / name;
      std::error_code ec;
      if (!fs::is_directory(dir, ec)) continue;
      bool seen = std::any_of(dirs.begin(), dirs.end(), [&](const SessionDir& d) { return util::same_path(d.dir, dir); });
      if (!seen) dirs.push_back({dir, home});
    }
  }
  return dirs;
}

std::vector<fs::path> rollout_files(const fs::path& directory, std::vector<util::Unlisted>* unlisted) {
  std::vector<fs::path> files;
  util::collect_jsonl_files(directory, files, unlisted);
  // path comparison goes component by component: a/b.jsonl sorts before a-b.jsonl.
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<DirFiles> unique_rollout_files(const std::vector<SessionDir>& dirs) {
  std::set<std::pair<std::string, std::string>> seen;
  std::vector<DirFiles> out;
  for (const auto& d : dirs) {
    DirFiles entry{d, {}, {}};
    std::string dir_key = component_key(d.dir);
    for (auto& file : rollout_files(d.dir, &entry.unlisted)) {
      std::string file_key = component_key(file);
      // Below the directory: the relative part; otherwise the whole path.
      std::string rel = file_key.starts_with(dir_key) ? file_key.substr(dir_key.size()) : file_key;
      if (seen.emplace(component_key(d.home), std::move(rel)).second) entry.files.push_back(std::move(file));
    }
    out.push_back(std::move(entry));
  }
  return out;
}

bool config_sets_fast_tier(std::string_view toml) {
  std::string_view rest = toml;
  while (!rest.empty()) {
    auto nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    line = util::trim(line.substr(0, line.find('#')));
    auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (util::trim(line.substr(0, eq)) != "service_tier") continue;
    std::string_view value = util::trim(line.substr(eq + 1));
    auto quote = [](char c) { return c == '"' || c == '\''; };
    while (!value.empty() && quote(value.front())) value.remove_prefix(1);
    while (!value.empty() && quote(value.back())) value.remove_suffix(1);
    if (value == "fast" || value == "priority") return true;
  }
  return false;
}

CodexServiceTier configured_service_tier() {
  auto homes = codex_home_dirs();
  if (!homes) return CodexServiceTier::Standard;
  for (const auto& home : *homes) {
    auto text = reader::read_text(home / "config.toml");  // a FIFO is not waited on
    if (text && config_sets_fast_tier(text->view())) return CodexServiceTier::Fast;
  }
  return CodexServiceTier::Standard;
}

}  // namespace qm::codex::home
