#include "jsonl_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util.h"

namespace qm::jsonl {

LineReader::LineReader(std::size_t chunk) : chunk_(chunk) {}

bool LineReader::open(const std::filesystem::path& path) {
  close();
  used_ = 0;
  auto fd = util::open_regular(path);
  if (!fd) {
    error_ = std::move(fd.error());
    return false;
  }
  fd_ = *fd;
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
  for (;;) {
    ssize_t n = ::read(fd_, buffer_.get() + used_, chunk_);
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

void LineReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace qm::jsonl
