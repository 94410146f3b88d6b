#pragma once
// Where OpenCode keeps its messages: data directories, the database of each, and the older
// store of one JSON file per message.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"

namespace qm::opencode::loader {

// OPENCODE_DATA_DIR's directories when it is set, else OpenCode's data directory below the
// home; "home directory is not set" without a home.
std::expected<std::vector<std::filesystem::path>, std::string> data_dirs();

// "opencode-<channel>.db", the channel made of ASCII letters, digits, "-" and "_".
bool is_channel_database(std::string_view file_name);
// The regular files of a directory that are channel databases, in path order.
std::vector<std::filesystem::path> channel_databases(const std::filesystem::path& dir);
// "opencode.db" when it is a regular file, else the first channel database, else none.
std::optional<std::filesystem::path> database_in(const std::filesystem::path& dir);

// The ".json" files below storage/message, in the order of the walk; the directories that
// cannot be listed go to `unread`.
std::vector<std::filesystem::path> stored_message_files(const std::filesystem::path& dir, UnreadFiles& unread);

}  // namespace qm::opencode::loader
