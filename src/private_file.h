#pragma once
// Replacing a file that holds private data (tokens, cached limits) without ever exposing
// a half-written or world-readable copy.
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace qm::private_file {

// Writes `content` to "<target>.<pid>" beside the target (created exclusively with mode
// 0600, never through a symbolic link), flushes it to disk and renames it over the target.
// The temporary file is removed when any step fails.
std::expected<void, std::string> replace(const std::filesystem::path& target, std::string_view content);

}  // namespace qm::private_file
