#pragma once
// Reading JSON Lines files on worker threads, a large file cut at line boundaries into parts
// that several workers read at once; each file's parts are put together in order as they
// come, so that the result is the file's as one worker reads it whole.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "adapter/all/types.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "reader/files.h"

namespace qm::reader {

// A file's modification time as file_time gives it.
using FileTime = std::expected<std::int64_t, std::string>;

// How the parts of one file are put together, in part order: `Join join(first part)`, then
// `join.add(next part)` for each of the others, then `join.take()`, the file's result. For
// parts that carry all that this needs, AppendJoin appends each part to the first:
// `append(whole, std::move(part))`.
template <typename T, auto Append>
class AppendJoin {
 public:
  explicit AppendJoin(T first) : whole_(std::move(first)) {}
  void add(T part) { Append(whole_, std::move(part)); }
  T take() { return std::move(whole_); }

 private:
  T whole_;
};

namespace detail {

// What `read(path, part, time)` gives of a part that can be read.
template <typename Read>
using PartOf = typename std::invoke_result_t<Read&, const fs::path&, const jsonl::FilePart&, const FileTime&>::value_type;

template <typename Join>
using JoinedOf = decltype(std::declval<Join&>().take());

// A file read in parts: its time, read once, and its parts put together in part order as they
// are read. A part read before the one due waits; the worker that gives the one due puts it
// together with those waiting after it, while the other workers go on reading.
template <typename Part, typename Join>
class PartsInOrder {
 public:
  explicit PartsInOrder(FileTime time) : time_(std::move(time)) {}
  const FileTime& time() const { return time_; }

  void give(const jsonl::FilePart& part, std::expected<Part, std::string> read) {
    std::unique_lock lock(mutex_);
    if (waiting_.empty()) waiting_.resize(part.count);
    waiting_[part.index] = std::move(read);
    if (joining_) return;  // the worker joining takes it
    joining_ = true;
    while (next_ < waiting_.size() && waiting_[next_]) {
      auto due = std::move(*waiting_[next_]);
      waiting_[next_].reset();
      ++next_;
      lock.unlock();
      add(std::move(due));
      lock.lock();
    }
    joining_ = false;
  }

  // Once every part was given: the file's result, or the error of its first failing part.
  std::expected<JoinedOf<Join>, std::string> take() {
    if (error_) return std::unexpected(std::move(*error_));
    return join_->take();
  }

 private:
  void add(std::expected<Part, std::string> part) {
    if (error_) return;
    if (!part)
      error_ = std::move(part.error());
    else if (!join_)
      join_.emplace(std::move(*part));
    else
      join_->add(std::move(*part));
  }

  FileTime time_;
  std::mutex mutex_;
  std::vector<std::optional<std::expected<Part, std::string>>> waiting_;  // by part index
  std::size_t next_ = 0;  // the part due
  bool joining_ = false;
  std::optional<Join> join_;
  std::optional<std::string> error_;
};

}  // namespace detail

// read_files for readers of JSON Lines files that read a part of a file as well as a whole
// one: with two workers or more, a file that parallel::map_file_parts cuts (by `sizes`) is
// read in parts by several workers at once. Each worker's reader, made by `make_read()`, is
// `read(path, part, time) -> std::expected<Part, std::string>`, `time` being the file's, the
// same for all of its parts; a file's parts are put together by a `Join` (above). A file that
// fails in any part is passed over whole, with the error of its first failing part. The
// results come back in file order, the same whatever the number of workers and the cuts.
template <typename Join, typename MakeRead>
auto read_files_in_parts(const std::vector<fs::path>& files, bool single_thread, UnreadFiles& unread,
                         MakeRead make_read, const parallel::PartSizes& sizes = {}) {
  using Part = detail::PartOf<std::invoke_result_t<MakeRead&>>;
  using Joined = detail::JoinedOf<Join>;
  using Parts = detail::PartsInOrder<Part, Join>;
  std::vector<std::once_flag> found(files.size());
  std::vector<std::unique_ptr<Parts>> cut(files.size());  // the files read in parts
  const std::size_t workers = single_thread ? 1 : parallel::available_processors();
  auto per_file = parallel::map_file_parts<std::expected<Joined, std::string>>(files, workers, sizes, [&] {
    return [&files, &found, &cut, read = make_read()](std::size_t i,
                                                      const jsonl::FilePart& part) mutable
           -> std::expected<Joined, std::string> {
      if (part.count == 1) {
        auto whole = read(files[i], part, file_time(files[i]));
        if (!whole) return std::unexpected(std::move(whole.error()));
        return Join(std::move(*whole)).take();
      }
      std::call_once(found[i], [&] { cut[i] = std::make_unique<Parts>(file_time(files[i])); });
      cut[i]->give(part, read(files[i], part, cut[i]->time()));
      return {};
    };
  });
  std::vector<Joined> out;
  out.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    auto joined = cut[i] ? cut[i]->take() : std::move(per_file[i][0]);
    cut[i].reset();
    per_file[i].clear();
    if (joined)
      out.push_back(std::move(*joined));
    else
      unread.add(files[i].native(), joined.error());
  }
  return out;
}

// The parts of about `part_size` bytes that a file is cut into, the file kept open in `open`;
// the file whole when it cannot be opened, so that its reader meets the error.
std::vector<jsonl::FilePart> cut_in_parts(const fs::path& file, std::uint64_t part_size, parallel::OpenFiles& open);

// read_files_in_parts with one `FileReader` per worker, whose `read(path, part, time_ms)` is
// given the file's time, or `no_time` when it has none.
template <typename Join, typename FileReader>
auto read_files_with(const std::vector<fs::path>& files, bool single_thread, UnreadFiles& unread, std::int64_t no_time,
                     const parallel::PartSizes& sizes) {
  return read_files_in_parts<Join>(
      files, single_thread, unread,
      [no_time] {
        return [no_time, reader = FileReader()](const fs::path& path, const jsonl::FilePart& part,
                                                const FileTime& time) mutable {
          return reader.read(path, part, time.value_or(no_time));
        };
      },
      sizes);
}

// One file read as read_files_in_parts reads it when cut into parts of about `part_size`
// bytes, here on this thread, the last part first (workers finish them in any order): for
// tests.
template <typename Join, typename Read>
std::expected<detail::JoinedOf<Join>, std::string> read_in_parts(const fs::path& file, std::uint64_t part_size,
                                                                 Read& read) {
  parallel::OpenFiles open;
  const auto parts = cut_in_parts(file, part_size, open);
  detail::PartsInOrder<detail::PartOf<Read>, Join> joined(file_time(file));
  for (std::size_t k = parts.size(); k-- > 0;) joined.give(parts[k], read(file, parts[k], joined.time()));
  return joined.take();
}

}  // namespace qm::reader
