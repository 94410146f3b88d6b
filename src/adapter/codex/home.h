#pragma once
// Codex home directories, their session directories and rollout files, and the configured
// service tier.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "util_files.h"

namespace qm::codex::home {

enum class CodexServiceTier : std::uint8_t { Standard = 0, Fast = 1 };

struct SessionDir {
  std::filesystem::path dir;   // "sessions" or "archived_sessions" inside `home`
  std::filesystem::path home;
};

// CODEX_HOME (a comma-separated list, used as written) or ~/.codex.
std::expected<std::vector<std::filesystem::path>, std::string> codex_home_dirs();
// The existing session directories of every home, each once.
std::expected<std::vector<SessionDir>, std::string> session_dirs();
// Every *.jsonl file below the directory, sorted component by component; what cannot be
// listed goes to `unlisted` when given.
std::vector<std::filesystem::path> rollout_files(const std::filesystem::path& directory,
                                                 std::vector<util::Unlisted>* unlisted = nullptr);

struct DirFiles {
  SessionDir dir;
  std::vector<std::filesystem::path> files;
  std::vector<util::Unlisted> unlisted;  // below the directory, not listed: their rollouts went unseen
};
// Each directory's rollout files less those already met under the same home and relative
// path (so a rollout in both "sessions" and "archived_sessions" is read once).
std::vector<DirFiles> unique_rollout_files(const std::vector<SessionDir>& dirs);

// Fast when any home's config.toml sets service_tier to "fast" or "priority".
CodexServiceTier configured_service_tier();
// Whether one config.toml text sets service_tier to "fast" or "priority" on any line.
bool config_sets_fast_tier(std::string_view toml);

}  // namespace qm::codex::home
