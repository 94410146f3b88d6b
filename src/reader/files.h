#pragma once
// Finding a reader's files and reading them whole. A file that cannot be read is passed over
// and counted in the reader's UnreadFiles: one bad file costs only its own usage.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "adapter/all/types.h"
#include "fast.h"
#include "json/dom_fwd.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "reader/roots.h"
#include "util_files.h"

namespace qm::reader {

namespace fs = std::filesystem;

inline constexpr std::string_view kNotUtf8 = "not valid UTF-8";

// Appends the regular files below `directory` with exactly this extension that `keep`
// accepts, in the order of the recursive walk (symbolic links neither followed nor taken).
// A directory below it that cannot be listed goes to `unread`: its files went unseen.
void walk(const fs::path& directory, std::string_view extension, const std::function<bool(const fs::path&)>& keep,
          std::vector<fs::path>& out, UnreadFiles& unread);
inline void walk(const fs::path& directory, std::string_view extension, std::vector<fs::path>& out,
                 UnreadFiles& unread) {
  walk(directory, extension, nullptr, out, unread);
}
// What a walk of util could not list, added in its order.
void add_unlisted(const std::vector<util::Unlisted>& unlisted, UnreadFiles& unread);

// Sorts paths component by component ("a/b" before "a-b") and drops repeated ones.
void sort_paths(std::vector<fs::path>& paths);

// Where a reader of files finds them: the roots (a list variable, or a default below the
// home directory), the directory below each root ("" for the root itself), the extension,
// and, when given, a test of each file found with the directory it was found in.
struct FileSearch {
  const char* variable;
  std::string_view default_below_home;
  NoHome no_home;
  std::string_view below;
  std::string_view extension;
  bool (*keep)(const fs::path& directory, const fs::path& path) = nullptr;
};
// The files of a search, in path order, or why the roots could not be found.
std::expected<std::vector<fs::path>, std::string> find_files(const FileSearch& search, UnreadFiles& unread);

// A whole file, followed by the padding the JSON parser reads past the end.
class Text {
 public:
  explicit Text(std::string bytes);
  std::string_view view() const { return std::string_view(bytes_.data(), size_); }

 private:
  std::string bytes_;
  std::size_t size_;
};

// A regular file's bytes as UTF-8 text; the error is the system's text, util::kNotRegular
// (a FIFO is never waited on), or kNotUtf8.
std::expected<Text, std::string> read_text(const fs::path& path);
// The file's bytes whatever they hold, for readers that pass over the lines that are not
// UTF-8 (the JSON parser refuses them) instead of the whole file.
std::expected<Text, std::string> read_bytes(const fs::path& path);
// read_bytes for a JSON Lines file (extension "jsonl"), read_text for any other.
std::expected<Text, std::string> read_json_text(const fs::path& path);

// Modification time in milliseconds since the epoch, or why there is none (the system's
// text, or a time before 1970 or beyond the range).
std::expected<std::int64_t, std::string> file_time(const fs::path& path);
// file_time without the reason.
std::optional<std::int64_t> file_time_ms(const fs::path& path);
// file_time_ms, a time beyond the range giving the largest one.
std::optional<std::int64_t> file_time_ms_saturating(const fs::path& path);

// The file name without its last extension, or none when the path has no file name.
std::optional<std::string> file_stem(const fs::path& path);

// Calls `on_line(line)` for every line of the text: lines end at a line feed, a carriage
// return before it is dropped, and the text after the last line feed is a line when not empty.
template <typename OnLine>
void for_each_line(std::string_view text, OnLine on_line) {
  while (auto line = fast::next_line(text)) {
    if (line->ends_with('\r')) line->remove_suffix(1);
    on_line(*line);
  }
}

// Runs a reader on every file on worker threads, each worker with its own state made by
// `make_read()`: `read(path) -> std::expected<T, std::string>`. The results of the files read
// come back in file order; a file that fails is passed over and added to `unread`, in file
// order, so that which one is named first does not depend on the workers.
template <typename T, typename MakeRead>
std::vector<T> read_files(const std::vector<fs::path>& files, bool single_thread, UnreadFiles& unread,
                          MakeRead make_read) {
  auto per_file = parallel::map_files<std::expected<T, std::string>>(
      files, parallel::worker_count(files.size(), single_thread), make_read);
  std::vector<T> out;
  out.reserve(per_file.size());
  for (std::size_t i = 0; i < per_file.size(); ++i) {
    if (per_file[i])
      out.push_back(std::move(*per_file[i]));
    else
      unread.add(files[i].native(), per_file[i].error());
  }
  return out;
}

// Reads every file whole (read_json_text) and parses it on worker threads, each worker with
// its own parser state made by `make_parse()`: `parse(path, text) -> std::vector<Item>`. The
// items come back per file read, in file order; read_files says what becomes of the others.
template <typename Item, typename MakeParse>
std::vector<std::vector<Item>> parse_files(const std::vector<fs::path>& files, bool single_thread, UnreadFiles& unread,
                                           MakeParse make_parse) {
  using PerFile = std::expected<std::vector<Item>, std::string>;
  return read_files<std::vector<Item>>(files, single_thread, unread, [&] {
    return [parse = make_parse()](const fs::path& path) mutable -> PerFile {
      auto text = read_json_text(path);
      if (!text) return std::unexpected(std::move(text.error()));
      return parse(path, text->view());
    };
  });
}

// The items of all files in one list, in file order.
template <typename Item>
std::vector<Item> concatenate(std::vector<std::vector<Item>>& per_file) {
  std::size_t count = 0;
  for (const auto& items : per_file) count += items.size();
  std::vector<Item> out;
  out.reserve(count);
  for (auto& items : per_file)
    for (auto& item : items) out.push_back(std::move(item));
  return out;
}

// parse_files for the readers of JSON: `parse(path, text, parser)` gets the worker's own
// parser, and the items of all files come back in one list, in file order. (`Parser` is a
// parameter only so that this header need not include the parser: callers include
// json/strict.h.)
template <typename Item, typename Parse, typename Parser = json::StrictParser>
std::vector<Item> parse_json_files(const std::vector<fs::path>& files, bool single_thread, UnreadFiles& unread,
                                   const Parse& parse) {
  auto per_file = parse_files<Item>(files, single_thread, unread, [&parse] {
    return [&parse, parser = Parser()](const fs::path& path, std::string_view text) mutable {
      return parse(path, text, parser);
    };
  });
  return concatenate(per_file);
}

// Calls `on_line(line)` for every line of a JSON Lines file, or of one part of it, read in
// chunks (for files too large to hold whole): lines cut as above, each followed by the
// parser's padding so that it parses in place. The error is LineReader's when the file cannot
// be opened or read.
template <typename OnLine>
std::expected<void, std::string> for_each_line(jsonl::LineReader& lines, const fs::path& path,
                                               const jsonl::FilePart& part, OnLine on_line) {
  bool ok = lines.for_each_line(path, part, [&](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    on_line(line);
  });
  if (!ok) return std::unexpected(lines.error());
  return {};
}

template <typename OnLine>
std::expected<void, std::string> for_each_line(jsonl::LineReader& lines, const fs::path& path, OnLine on_line) {
  return for_each_line(lines, path, jsonl::FilePart{}, std::move(on_line));
}

}  // namespace qm::reader
