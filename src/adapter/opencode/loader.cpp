#include "adapter/opencode/loader.h"

#include <algorithm>
#include <system_error>

#include "adapter/opencode/message.h"
#include "reader/files.h"

namespace qm::opencode::loader {

namespace fs = std::filesystem;

std::expected<std::vector<fs::path>, std::string> data_dirs() {
  return message::data_dirs("OPENCODE_DATA_DIR", "opencode", reader::NoHome::Fails);
}

bool is_channel_database(std::string_view name) {
  constexpr std::string_view kPrefix = "opencode-", kSuffix = ".db";
  if (name.size() < kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
    return false;
  const auto channel = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return std::all_of(channel.begin(), channel.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

std::vector<fs::path> channel_databases(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (is_channel_database(it->path().filename().native()) && it->is_regular_file(type_ec)) out.push_back(it->path());
  }
  reader::sort_paths(out);
  return out;
}

std::optional<fs::path> database_in(const fs::path& dir) {
  std::error_code ec;
  fs::path db = dir / "opencode.db";
  if (fs::is_regular_file(db, ec)) return db;
  auto channels = channel_databases(dir);
  if (channels.empty()) return std::nullopt;
  return channels.front();
}

std::vector<fs::path> stored_message_files(const fs::path& dir, UnreadFiles& unread) {
  std::vector<fs::path> files;
  reader::walk(dir / "storage" / "message", "json", files, unread);
  return files;
}

}  // namespace qm::opencode::loader
