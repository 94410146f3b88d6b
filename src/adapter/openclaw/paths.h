#pragma once
// Where OpenClaw keeps its session logs, rotated copies included.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"

namespace qm::openclaw::paths {

namespace fs = std::filesystem;

// Its data directories: OPENCLAW_DIR's when set and not blank, else the existing ones among
// the current name and the three older ones in the home directory (none without a home).
std::vector<fs::path> roots();

// A session log or a rotated copy of one: the name from its first ".jsonl" on is ".jsonl",
// or starts with ".jsonl.deleted." or ".jsonl.reset.".
bool is_session_file_name(std::string_view name);

// Appends the session files below `directory` in path order (symbolic links are neither
// followed nor taken). A directory that cannot be listed, or an entry whose type cannot be
// read, is passed over and goes to `unread`: the logs in it go uncounted.
void collect_session_files(const fs::path& directory, std::vector<fs::path>& list, UnreadFiles& unread);

}  // namespace qm::openclaw::paths
