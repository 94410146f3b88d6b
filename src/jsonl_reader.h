#pragma once
// Reading large JSON Lines files in chunks, with one reusable buffer per thread.
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fast.h"
#include "json/strict.h"

namespace qm::jsonl {

// Lines come exactly as fast::next_line cuts a whole file: the line feed is not part of the
// line, a carriage return stays, a last line without a line feed counts. Every line handed
// out is followed by json::kPadding readable bytes, so it can be parsed in place.
class LineReader {
 public:
  explicit LineReader(std::size_t chunk = 1 << 18);

  // Calls fn(line) for every line; false when the file cannot be opened or read, or is not a
  // regular file (the lines read until then have been handed out; error() tells why).
  template <typename Fn>
  bool for_each_line(const std::filesystem::path& path, Fn&& fn) {
    return scan(path, [&](std::string_view block) {
      std::string_view rest = block;
      while (auto line = fast::next_line(rest)) fn(*line);
    });
  }

  // Why the last file could not be read: the system's text, or util::kNotRegular.
  const std::string& error() const { return error_; }

  // Calls fn(line) only for the lines that contain `needle` (which holds no line feed);
  // the lines in between are skipped without being looked at twice.
  template <typename Fn>
  bool for_each_line_containing(const std::filesystem::path& path, std::string_view needle, Fn&& fn) {
    return scan(path, [&](std::string_view block) {
      std::size_t pos = 0;  // 0, or the line feed that ends the previous line handed out
      for (;;) {
        std::size_t hit = fast::find_text(block, needle, pos);
        if (hit == std::string_view::npos) return;
        std::size_t start = fast::find_last(block.substr(pos, hit - pos), '\n');
        start = start == std::string_view::npos ? pos : pos + start + 1;
        std::size_t end = block.find('\n', hit);
        if (end == std::string_view::npos) end = block.size();
        fn(block.substr(start, end - start));
        pos = end;
      }
    });
  }

 private:
  // Hands out blocks of whole lines (a block ends at a line feed, or at the end of file).
  template <typename BlockFn>
  bool scan(const std::filesystem::path& path, BlockFn&& on_block);
  bool open(const std::filesystem::path& path);
  // Fills the buffer after the carried-over bytes; returns bytes read, 0 at the end, -1 on error.
  long fill();
  void close();

  // Kept across files and grown without being cleared first: read() fills what is used.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t chunk_;
  std::size_t used_ = 0;  // bytes of data in buffer_
  int fd_ = -1;
  std::string error_;
};

template <typename BlockFn>
bool LineReader::scan(const std::filesystem::path& path, BlockFn&& on_block) {
  if (!open(path)) return false;
  bool ok = true;
  for (;;) {
    long n = fill();
    if (n < 0) {
      ok = false;
      break;
    }
    bool eof = n == 0;
    std::string_view data(buffer_.get(), used_);
    // The carried-over bytes hold no line feed (the last block ended at the last one), so
    // only the bytes just read are searched: a very long line is not rescanned each time.
    std::size_t fresh = used_ - static_cast<std::size_t>(n);
    std::size_t cut = data.size();
    if (!eof) {
      std::size_t at = data.substr(fresh).rfind('\n');
      if (at == std::string_view::npos) continue;  // a line longer than what is buffered: read more
      cut = fresh + at;
    }
    if (!eof) ++cut;                               // the block ends with its line feed
    // The buffer always extends json::kPadding bytes past the data, so any line in the
    // block can be parsed in place (simdjson reads, but does not use, those bytes).
    if (cut > 0) on_block(std::string_view(buffer_.get(), cut));
    std::memmove(buffer_.get(), buffer_.get() + cut, used_ - cut);
    used_ -= cut;
    if (eof) break;
  }
  close();
  return ok;
}

}  // namespace qm::jsonl
