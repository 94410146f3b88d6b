#include "private_file.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "exit_signals.h"
#include "util.h"

namespace qm::private_file {

std::expected<void, std::string> replace(const std::filesystem::path& target, std::string_view content) {
  // The temporary name is the same for every thread of this process: one write at a time,
  // so that no thread removes another's half-written file.
  static std::mutex one_at_a_time;
  std::lock_guard lock(one_at_a_time);
  std::filesystem::path temp = target;
  temp += "." + std::to_string(::getpid());
  // Interrupted by the user, the process takes its half-written file with it.
  exit_signals::RemovedOnSignal held(temp);
  // A leftover from an earlier run of a process with the same id would make O_EXCL fail;
  // only a plain file of ours is removed, never what a link points to.
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(util::os_error(errno));
  auto fail = [&](int err) -> std::expected<void, std::string> {
    ::close(fd);
    ::unlink(temp.c_str());
    return std::unexpected(util::os_error(err));
  };
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return std::unexpected(util::os_error(err));
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return std::unexpected(util::os_error(err));
  }
  return {};
}

}  // namespace qm::private_file
