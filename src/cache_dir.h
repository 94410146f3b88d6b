#pragma once
// Where quillimare keeps its own files (the Claude usage cache, the HTML reports).
#include <filesystem>
#include <optional>

namespace qm::cache_dir {

// The user's cache directory for quillimare, or none without a home directory:
// "Library/Caches/quillimare" below the home on macOS; elsewhere
// $XDG_CACHE_HOME/quillimare when XDG_CACHE_HOME is set and absolute, else
// ~/.cache/quillimare.
std::optional<std::filesystem::path> user_cache_dir();

// QUILLIMARE_CACHE_DIR when set and not empty, else `user_cache_dir()`.
std::optional<std::filesystem::path> cache_dir();

}  // namespace qm::cache_dir
