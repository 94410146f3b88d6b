#pragma once
// Reading large JSON Lines files in chunks, with one reusable buffer per thread, whole or in
// parts that several threads read at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "fast.h"
#include "json/dom_fwd.h"

namespace qm::jsonl {

// Where a reader reads: a whole file, or one part of a file that several workers read at
// once. A part's lines are those that start in [begin, end): the line that runs over `end`
// is read to its end, and one that started before `begin` belongs to an earlier part; so
// the parts of a file give its lines once each, in order, wherever the cuts fall.
struct FilePart {
  static constexpr std::uint64_t kToEnd = UINT64_MAX;
  int fd = -1;  // the file open already, shared by its parts and read with pread; -1: by its path
  std::uint64_t begin = 0;
  std::uint64_t end = kToEnd;  // kToEnd: to the end of the file, however far it has grown
  std::size_t index = 0;       // the part's place among the file's parts
  std::size_t count = 1;
  bool whole() const { return begin == 0 && end == kToEnd; }
};

// An open file of `size` bytes cut into parts of about `part_size` bytes (at least 1), of
// nearly equal length; the last reaches to the end of the file.
std::vector<FilePart> cut_file(int fd, std::uint64_t size, std::uint64_t part_size);

// Lines come exactly as fast::next_line cuts a whole file: the line feed is not part of the
// line, a carriage return stays, a last line without a line feed counts. Every line handed
// out is followed by json::kPadding readable bytes, so it can be parsed in place. A callback
// that returns bool stops the reading when it returns false.
class LineReader {
 public:
  explicit LineReader(std::size_t chunk = 1 << 18);

  // Calls fn(line) for every line; false when the file cannot be opened or read, or is not a
  // regular file (the lines read until then have been handed out; error() tells why).
  template <typename Fn>
  bool for_each_line(const std::filesystem::path& path, Fn&& fn) {
    return for_each_line(path, FilePart{}, fn);
  }
  template <typename Fn>
  bool for_each_line(const std::filesystem::path& path, const FilePart& part, Fn&& fn) {
    return scan(path, part, [&](std::string_view block) {
      std::string_view rest = block;
      while (auto line = fast::next_line(rest))
        if (!call(fn, *line)) return false;
      return true;
    });
  }

  // Calls fn(line) only for the lines that contain `needle` (which holds no line feed);
  // the lines in between are skipped without being looked at twice.
  template <typename Fn>
  bool for_each_line_containing(const std::filesystem::path& path, std::string_view needle, Fn&& fn) {
    return for_each_line_containing(path, FilePart{}, needle, fn);
  }
  template <typename Fn>
  bool for_each_line_containing(const std::filesystem::path& path, const FilePart& part, std::string_view needle,
                                Fn&& fn) {
    return scan(path, part, [&](std::string_view block) {
      std::size_t pos = 0;  // 0, or the line feed that ends the previous line handed out
      for (;;) {
        std::size_t hit = fast::find_text(block, needle, pos);
        if (hit == std::string_view::npos) return true;
        std::size_t start = fast::find_last(block.substr(pos, hit - pos), '\n');
        start = start == std::string_view::npos ? pos : pos + start + 1;
        std::size_t end = block.find('\n', hit);
        if (end == std::string_view::npos) end = block.size();
        if (!call(fn, block.substr(start, end - start))) return false;
        pos = end;
      }
    });
  }

  // Where in the file a line handed out by the reading under way starts.
  std::uint64_t offset_of(std::string_view line) const {
    return base_ + static_cast<std::uint64_t>(line.data() - buffer_.get());
  }

  // Why the last file could not be read: the system's text, or util::kNotRegular.
  const std::string& error() const { return error_; }

 private:
  template <typename Fn>
  static bool call(Fn& fn, std::string_view line) {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn&, std::string_view>, bool>) {
      return fn(line);
    } else {
      fn(line);
      return true;
    }
  }
  // Hands out blocks of whole lines (a block ends at a line feed, or at the end of file),
  // while on_block returns true.
  template <typename BlockFn>
  bool scan(const std::filesystem::path& path, const FilePart& part, BlockFn&& on_block);
  bool open(const std::filesystem::path& path, const FilePart& part);
  // Fills the buffer after the carried-over bytes; returns bytes read, 0 at the end, -1 on error.
  long fill();
  // Drops the first n bytes of the buffer.
  void drop(std::size_t n);
  void close();

  // Kept across files and grown without being cleared first: read() fills what is used.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t chunk_;
  std::size_t used_ = 0;     // bytes of data in buffer_
  std::uint64_t base_ = 0;   // the file offset of buffer_[0]
  std::uint64_t end_ = FilePart::kToEnd;  // the end of the part under way
  int fd_ = -1;
  bool own_fd_ = false;
  std::string error_;
};

template <typename BlockFn>
bool LineReader::scan(const std::filesystem::path& path, const FilePart& part, BlockFn&& on_block) {
  if (!open(path, part)) return false;
  // A part that does not start the file starts at the first line that begins in it: after the
  // first line feed from the byte before it on.
  bool seek_line = part.begin > 0;
  bool ok = true;
  for (;;) {
    long n = fill();
    if (n < 0) {
      ok = false;
      break;
    }
    const bool eof = n == 0;
    // The carried-over bytes hold no line feed (the last block ended at the last one), so
    // only the bytes just read are searched: a very long line is not rescanned each time.
    std::size_t fresh = used_ - static_cast<std::size_t>(n);
    if (seek_line) {
      std::size_t at = std::string_view(buffer_.get() + fresh, used_ - fresh).find('\n');
      if (at == std::string_view::npos) {
        // A line that started before the part: its bytes are not needed. When it runs up to
        // the part's end, no line starts in the part.
        if (eof || base_ + used_ + 1 >= part.end) break;
        drop(used_);
        continue;
      }
      drop(fresh + at + 1);
      fresh = 0;
      seek_line = false;
    }
    if (base_ >= part.end) break;  // buffer_[0] starts a line, which belongs to the next part
    std::string_view data(buffer_.get(), used_);
    std::size_t cut = data.size();
    if (!eof) {
      std::size_t at = fast::find_last(data.substr(fresh), '\n');
      if (at == std::string_view::npos) continue;  // a line longer than what is buffered: read more
      cut = fresh + at + 1;                         // the block ends with its line feed
    }
    // Only the lines that start before the part's end: the last is the one that holds the
    // part's last byte.
    bool last = eof;
    if (part.end - base_ <= cut) {
      std::size_t nl = data.find('\n', static_cast<std::size_t>(part.end - 1 - base_));
      if (nl != std::string_view::npos && nl < cut) cut = nl + 1;
      last = true;
    }
    // The buffer always extends json::kPadding bytes past the data, so any line in the
    // block can be parsed in place (simdjson reads, but does not use, those bytes).
    if (cut > 0 && !on_block(std::string_view(buffer_.get(), cut))) break;
    if (last) break;
    drop(cut);
  }
  close();
  return ok;
}

}  // namespace qm::jsonl
