#include "reader/files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "util.h"
#include "util_files.h"

namespace qm::reader {

void walk(const fs::path& directory, std::string_view extension, const std::function<bool(const fs::path&)>& keep,
          std::vector<fs::path>& out, UnreadFiles& unread) {
  std::size_t first = out.size();
  std::vector<util::Unlisted> unlisted;
  util::collect_files_with_extension(directory, extension, out, &unlisted);
  add_unlisted(unlisted, unread);
  if (!keep) return;
  auto dropped = std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                                [&](const fs::path& p) { return !keep(p); });
  out.erase(dropped, out.end());
}

void add_unlisted(const std::vector<util::Unlisted>& unlisted, UnreadFiles& unread) {
  for (const auto& u : unlisted) unread.add(u.path.native(), util::os_error(u.error));
}

void sort_paths(std::vector<fs::path>& paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
}

std::expected<std::vector<fs::path>, std::string> find_files(const FileSearch& search, UnreadFiles& unread) {
  auto roots = directory_roots(search.variable, search.default_below_home, search.no_home);
  if (!roots) return std::unexpected(std::move(roots.error()));
  std::vector<fs::path> files;
  for (const auto& root : *roots) {
    const fs::path directory = search.below.empty() ? root : root / search.below;
    if (!search.keep) {
      walk(directory, search.extension, files, unread);
      continue;
    }
    walk(directory, search.extension, [&](const fs::path& p) { return search.keep(directory, p); }, files, unread);
  }
  sort_paths(files);
  return files;
}

Text::Text(std::string bytes) : bytes_(std::move(bytes)), size_(bytes_.size()) {
  bytes_.append(json::kPadding, '\0');
}

namespace {
std::expected<std::string, std::string> regular_file_bytes(const fs::path& path) {
  auto fd = util::open_regular(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  std::string error;
  auto bytes = util::read_to_end(*fd, &error, json::kPadding);  // no copy for the padding
  if (!bytes) return std::unexpected(std::move(error));
  return std::move(*bytes);
}
}  // namespace

std::expected<Text, std::string> read_text(const fs::path& path) {
  auto bytes = regular_file_bytes(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  if (!util::is_valid_utf8(*bytes)) return std::unexpected(std::string(kNotUtf8));
  return Text(std::move(*bytes));
}

std::expected<Text, std::string> read_bytes(const fs::path& path) {
  auto bytes = regular_file_bytes(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return Text(std::move(*bytes));
}

std::expected<Text, std::string> read_json_text(const fs::path& path) {
  // A line feed never sits inside a character: a bad byte spoils only its line, which the
  // JSON parser refuses.
  return path.extension() == ".jsonl" ? read_bytes(path) : read_text(path);
}

namespace {
std::expected<std::int64_t, std::string> modified_ms(const fs::path& path, bool saturate) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(util::os_error(errno));
  if (st.st_mtim.tv_sec < 0) return std::unexpected(std::string("modification time is before 1970"));
  std::int64_t ms;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(st.st_mtim.tv_sec), std::int64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, static_cast<std::int64_t>(st.st_mtim.tv_nsec / 1'000'000), &ms)) {
    if (saturate) return std::numeric_limits<std::int64_t>::max();
    return std::unexpected(std::string("modification time out of range"));
  }
  return ms;
}
}  // namespace

std::expected<std::int64_t, std::string> file_time(const fs::path& path) { return modified_ms(path, false); }

std::optional<std::int64_t> file_time_ms(const fs::path& path) {
  auto ms = file_time(path);
  if (!ms) return std::nullopt;
  return *ms;
}

std::optional<std::int64_t> file_time_ms_saturating(const fs::path& path) {
  auto ms = modified_ms(path, true);
  if (!ms) return std::nullopt;
  return *ms;
}

std::optional<std::string> file_stem(const fs::path& path) {
  if (!path.has_filename()) return std::nullopt;
  return path.stem().string();
}

}  // namespace qm::reader
