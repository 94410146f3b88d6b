#include "jsonl_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qm::jsonl {

LineReader::LineReader(std::size_t chunk) : chunk_(chunk) {}

bool LineReader::open(const std::filesystem::path& path) {
  close();
  used_ = 0;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

long LineReader::fill() {
  // Room for one more chunk after the carried-over bytes, plus the padding.
  std::size_t want = used_ + chunk_ + json::kPadding;
  if (buffer_.size() < want) buffer_.resize(std::max(want, buffer_.size() * 2));
  for (;;) {
    ssize_t n = ::read(fd_, buffer_.data() + used_, chunk_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return -1;
    }
    used_ += static_cast<std::size_t>(n);
    return static_cast<long>(n);
  }
}

void LineReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace qm::jsonl
