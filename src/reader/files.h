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
#include "parallel.h"

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

// Reads every file whole and parses it on worker threads, each worker with its own parser
// state made by `make_parse()`: `parse(path, text) -> std::vector<Item>`. The items come back
// per file, in file order; the first file (in order) that cannot be read fails the whole.
template <typename Item, typename MakeParse>
std::expected<std::vector<std::vector<Item>>, std::string> parse_files(const std::vector<fs::path>& files,
                                                                       bool single_thread, MakeParse make_parse) {
  using PerFile = std::expected<std::vector<Item>, std::string>;
  auto per_file = parallel::map_files<PerFile>(
      files, parallel::worker_count(files.size(), single_thread), [&] {
        return [parse = make_parse()](const fs::path& path) mutable -> PerFile {
          auto text = read_text(path);
          if (!text) return std::unexpected(std::move(text.error()));
          return parse(path, text->view());
        };
      });
  std::vector<std::vector<Item>> out;
  out.reserve(per_file.size());
  for (auto& items : per_file) {
    if (!items) return std::unexpected(std::move(items.error()));
    out.push_back(std::move(*items));
  }
  return out;
}

}  // namespace qm::reader
