#include "jsonl_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util.h"
#include "util_files.h"

namespace qm::jsonl {

std::vector<FilePart> cut_file(int fd, std::uint64_t size, std::uint64_t part_size) {
  const std::uint64_t count = std::max<std::uint64_t>(1, (size + std::max<std::uint64_t>(part_size, 1) - 1) /
                                                             std::max<std::uint64_t>(part_size, 1));
  std::vector<FilePart> parts;
  parts.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    FilePart p;
    p.fd = fd;
    // size * i / count without overflow: sizes stay far below 2^64 / count.
    p.begin = static_cast<std::uint64_t>(static_cast<unsigned __int128>(size) * i / count);
    p.end = i + 1 == count ? FilePart::kToEnd : static_cast<std::uint64_t>(static_cast<unsigned __int128>(size) * (i + 1) / count);
    p.index = static_cast<std::size_t>(i);
    p.count = static_cast<std::size_t>(count);
    parts.push_back(p);
  }
  return parts;
}

LineReader::LineReader(std::size_t chunk) : chunk_(std::max<std::size_t>(chunk, 1)) {}

bool LineReader::open(const std::filesystem::path& path, const FilePart& part) {
  close();
  used_ = 0;
  base_ = part.begin > 0 ? part.begin - 1 : 0;
  end_ = part.end;
  if (part.fd >= 0) {
    fd_ = part.fd;
    own_fd_ = false;
    return true;
  }
  auto fd = util::open_regular(path);
  if (!fd) {
    error_ = std::move(fd.error());
    return false;
  }
  fd_ = *fd;
  own_fd_ = true;
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

long LineReader::fill() {
  // Room for one more chunk after the carried-over bytes, plus the padding.
  const std::size_t want = used_ + chunk_ + json::kPadding;
  if (capacity_ < want) {
    const std::size_t capacity = std::max(want, capacity_ * 2);
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_ > 0) std::memcpy(bigger.get(), buffer_.get(), used_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
  }
  // Up to the part's end and a little more, for the line that runs over it: a short part,
  // or what is left of one, does not cost a whole chunk.
  constexpr std::size_t kPastEnd = 4096;
  const std::uint64_t at = base_ + used_;
  std::size_t size = chunk_;
  if (at < end_ && end_ - at < chunk_ - std::min(chunk_, kPastEnd)) size = static_cast<std::size_t>(end_ - at) + kPastEnd;
  for (;;) {
    ssize_t n = ::pread(fd_, buffer_.get() + used_, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = util::os_error(errno);
      return -1;
    }
    used_ += static_cast<std::size_t>(n);
    // The parser reads the padding without using it; zeros keep every read defined.
    std::memset(buffer_.get() + used_, 0, json::kPadding);
    return static_cast<long>(n);
  }
}

void LineReader::drop(std::size_t n) {
  std::memmove(buffer_.get(), buffer_.get() + n, used_ - n);
  used_ -= n;
  base_ += n;
}

void LineReader::close() {
  if (fd_ >= 0 && own_fd_) ::close(fd_);
  fd_ = -1;
  own_fd_ = false;
}

}  // namespace qm::jsonl
