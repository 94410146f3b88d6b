#pragma once
// Files and directories: walks that collect files, and whole-file reads.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::util {

// A directory that a walk could not list, or an entry whose type it could not read, with the
// errno value: the files in it went unseen.
struct Unlisted {
  std::filesystem::path path;
  int error = 0;
};

// Appends every regular file under `directory` whose extension is exactly `extension`.
// Listing order, depth-first; symbolic links are neither followed nor collected. What cannot
// be listed is passed over, and added to `unlisted` when given; a directory that does not
// exist (any more) is not.
void collect_files_with_extension(const std::filesystem::path& directory, std::string_view extension,
                                  std::vector<std::filesystem::path>& out, std::vector<Unlisted>* unlisted = nullptr);
void collect_jsonl_files(const std::filesystem::path& directory, std::vector<std::filesystem::path>& out,
                         std::vector<Unlisted>* unlisted = nullptr);
// The same walk, collecting the regular files whose name `keep` accepts.
void collect_files_named(const std::filesystem::path& directory, bool (*keep)(std::string_view name),
                         std::vector<std::filesystem::path>& out, std::vector<Unlisted>* unlisted = nullptr);

// Compares two paths by their components: "/a/" and "/a" are the same path.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// Reads a whole file; the error is the operating system's message. `spare` bytes of room
// are kept after the content, for a caller that appends.
std::optional<std::string> read_file(const std::filesystem::path& path, std::string* error = nullptr,
                                     std::size_t spare = 0);
// Opens a file to read when it is a regular one (symbolic links followed), without waiting
// on a FIFO; the error is the system's text ("Is a directory" for one), or kNotRegular.
inline constexpr std::string_view kNotRegular = "not a regular file";
std::expected<int, std::string> open_regular(const std::filesystem::path& path);
// read_file from an open descriptor, which it closes.
std::optional<std::string> read_to_end(int fd, std::string* error = nullptr, std::size_t spare = 0);

}  // namespace qm::util
