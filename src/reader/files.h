#pragma once
// Finding a reader's files and reading them whole.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/strict.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "util.h"

namespace qm::reader {

namespace fs = std::filesystem;

inline constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

// Appends the regular files below `directory` with exactly this extension that `keep`
// accepts, in the order of the recursive walk (symbolic links neither followed nor taken).
void walk(const fs::path& directory, std::string_view extension, const std::function<bool(const fs::path&)>& keep,
          std::vector<fs::path>& out);
inline void walk(const fs::path& directory, std::string_view extension, std::vector<fs::path>& out) {
  walk(directory, extension, nullptr, out);
}

// Sorts paths component by component ("a/b" before "a-b") and drops repeated ones.
void sort_paths(std::vector<fs::path>& paths);

// A whole file, followed by the padding the JSON parser reads past the end.
class Text {
 public:
  explicit Text(std::string bytes);
  std::string_view view() const { return std::string_view(bytes_.data(), size_); }

 private:
  std::string bytes_;
  std::size_t size_;
};

// The file's bytes as UTF-8 text; the error is the system's text, or kNotUtf8.
std::expected<Text, std::string> read_text(const fs::path& path);

// Modification time in milliseconds since the epoch; none when it cannot be had or lies
// before 1970.
std::optional<std::int64_t> file_time_ms(const fs::path& path);

// The file name without its last extension, or none when the path has no file name.
std::optional<std::string> file_stem(const fs::path& path);

// Runs a reader on every file on worker threads, each worker with its own state made by
// `make_read()`: `read(path) -> std::expected<T, std::string>`. The results come back in
// file order; the first file (in order) that fails fails the whole.
template <typename T, typename MakeRead>
std::expected<std::vector<T>, std::string> read_files(const std::vector<fs::path>& files, bool single_thread,
                                                      MakeRead make_read) {
  auto per_file = parallel::map_files<std::expected<T, std::string>>(
      files, parallel::worker_count(files.size(), single_thread), make_read);
  std::vector<T> out;
  out.reserve(per_file.size());
  for (auto& result : per_file) {
    if (!result) return std::unexpected(std::move(result.error()));
    out.push_back(std::move(*result));
  }
  return out;
}

// read_files over whole texts: `parse(path, text) -> std::vector<Item>` (or an error), the
// text being the file's bytes as UTF-8 (read_text). The items come back per file.
template <typename Item, typename MakeParse>
std::expected<std::vector<std::vector<Item>>, std::string> parse_files(const std::vector<fs::path>& files,
                                                                       bool single_thread, MakeParse make_parse) {
  using PerFile = std::expected<std::vector<Item>, std::string>;
  return read_files<std::vector<Item>>(files, single_thread, [&] {
    return [parse = make_parse()](const fs::path& path) mutable -> PerFile {
      auto text = read_text(path);
      if (!text) return std::unexpected(std::move(text.error()));
      return parse(path, text->view());
    };
  });
}

// Calls fn(line) for every line of a JSON Lines file, read in chunks: a carriage return
// before the line feed is dropped, and each line can be parsed in place. The error is the
// system's text when the file cannot be opened or read.
template <typename Fn>
std::expected<void, std::string> for_each_line(jsonl::LineReader& lines, const fs::path& path, Fn&& fn) {
  bool ok = lines.for_each_line(path, [&](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    fn(line);
  });
  if (!ok) return std::unexpected(util::os_error(lines.error()));
  return {};
}

// Flattens per-file items into one list, in file order.
template <typename Item>
std::vector<Item> flatten(std::vector<std::vector<Item>> per_file) {
  std::size_t n = 0;
  for (const auto& items : per_file) n += items.size();
  std::vector<Item> out;
  out.reserve(n);
  for (auto& items : per_file)
    for (auto& item : items) out.push_back(std::move(item));
  return out;
}

}  // namespace qm::reader
