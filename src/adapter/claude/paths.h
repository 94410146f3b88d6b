#pragma once
// Where Claude Code keeps its conversation logs: the configuration directories that hold a
// "projects" directory, and the JSON Lines files below it.
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "adapter/all/types.h"

namespace qm::claude {

// From CLAUDE_CONFIG_DIR (a comma-separated list) when it is set, else the default places
// under XDG_CONFIG_HOME or the home directory. Each directory once, in the order found.
std::expected<std::vector<std::filesystem::path>, std::string> claude_data_dirs();

// Every ".jsonl" file below "projects" of each directory, sorted by path text; the
// directories that cannot be listed go to `unread`.
std::vector<std::filesystem::path> collect_usage_files(const std::vector<std::filesystem::path>& data_dirs,
                                                       UnreadFiles& unread);

}  // namespace qm::claude
