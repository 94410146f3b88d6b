#include "UnixSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace pellox {

SocketError::SocketError(Kind k, std::string t, int c) : kind(k), text(std::move(t)), code(c) {
  switch (kind) {
    case Kind::insecureDirectory:
      message_ = "insecure directory: " + text;
      break;
    case Kind::connectFailed:
      message_ = "connect failed: " + std::string(std::strerror(code));
      break;
    case Kind::system:
      message_ = text + ": " + std::strerror(code);
      break;
    case Kind::pathTooLong:
      message_ = "socket path too long";
      break;
    case Kind::invalidPath:
      message_ = "socket path is empty or holds a NUL byte";
      break;
    case Kind::alreadyRunning:
      message_ = "another listener owns the socket";
      break;
    case Kind::timeout:
      message_ = "timed out";
      break;
    case Kind::lineTooLong:
      message_ = "line too long";
      break;
  }
}

const char* SocketError::what() const noexcept { return message_.c_str(); }

namespace UnixSocket {

namespace {

using Clock = std::chrono::steady_clock;

// Whole milliseconds of a time-out, for poll and the connect wait: NaN and
// values at or below 0 give 0, everything is capped at INT_MAX.
int waitMilliseconds(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) return 0;
  double ms = std::trunc(seconds * 1000.0);
  return ms >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

// A read time-out as a duration, capped like a poll wait so that the
// deadline is always representable.
Clock::duration readBudget(double seconds) {
  constexpr double cap = static_cast<double>(INT_MAX) / 1000.0;
  if (std::isnan(seconds) || seconds <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, cap)));
}

void setSendTimeout(int fd, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int newSocket() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw SocketError::system("socket", errno);
  return fd;
}

std::string parentDirectory(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace

Address address(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) throw SocketError::invalidPath();
  if (path.size() > maxPathBytes) throw SocketError::pathTooLong();
  Address out;
  out.address.sun_family = AF_UNIX;
  std::memcpy(out.address.sun_path, path.data(), path.size());
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return out;
}

int connect(std::string_view path, double timeout) {
  const Address addr = address(path);
  const int fd = newSocket();

  // A Unix-socket connect never reports EINPROGRESS here: it either completes
  // at once or, when the listener's backlog is full, waits for room. That wait
  // is bounded by the send time-out and then fails with EAGAIN; with no time
  // to wait, a non-blocking connect fails with EAGAIN at once.
  const int waitMs = waitMilliseconds(timeout);
  const int flags = ::fcntl(fd, F_GETFL);
  if (waitMs == 0) {
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  } else {
    setSendTimeout(fd, waitMs);
  }

  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr.address), addr.length) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS) throw SocketError::timeout();
    throw SocketError::connectFailed(error);
  }

  if (waitMs == 0) ::fcntl(fd, F_SETFL, flags);
  setSendTimeout(fd, sendTimeoutSeconds * 1000);
  return fd;
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SocketError::system("write", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::optional<std::string> readLine(int fd, std::size_t maxBytes, double timeout) {
  const auto deadline = Clock::now() + readBudget(timeout);
  std::string line;
  std::string chunk(readChunkBytes, '\0');

  for (;;) {
    const auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) throw SocketError::timeout();

    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, ms >= INT_MAX ? INT_MAX : static_cast<int>(ms));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SocketError::system("poll", errno);
    }
    if (ready == 0) continue;

    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SocketError::system("read", errno);
    }
    if (n == 0) {
      if (line.empty()) return std::nullopt;
      return line;
    }

    const std::string_view got(chunk.data(), static_cast<std::size_t>(n));
    const auto newline = got.find('\n');
    if (newline != std::string_view::npos) {
      line.append(got.substr(0, newline));
      return line;
    }
    line.append(got);
    if (line.size() > maxBytes) throw SocketError::lineTooLong();
  }
}

int listen(std::string_view path, int backlog) {
  const Address addr = address(path);
  prepareDirectory(parentDirectory(path));

  const std::string file(path);
  struct stat existing {};
  if (::lstat(file.c_str(), &existing) == 0) {
    bool live = false;
    try {
      ::close(connect(path, 0.3));
      live = true;
    } catch (const SocketError&) {
    }
    if (live) throw SocketError::alreadyRunning();
    // Only a dead socket of our own may be cleared away; any other file there
    // (someone else's socket, a regular file, a link) is left alone.
    if (!S_ISSOCK(existing.st_mode) || existing.st_uid != ::getuid()) throw SocketError::system("bind", EADDRINUSE);
    ::unlink(file.c_str());
  }

  const int fd = newSocket();
  const mode_t previous = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr.address), addr.length);
  const int bindError = errno;
  ::umask(previous);
  if (bound != 0) {
    ::close(fd);
    throw SocketError::system("bind", bindError);
  }
  ::chmod(file.c_str(), 0600);

  if (::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(file.c_str());
    throw SocketError::system("listen", error);
  }
  return fd;
}

void prepareDirectory(const std::string& directory) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) == 0) {
    if (st.st_uid != ::getuid() || (st.st_mode & 0022) != 0) throw SocketError::insecureDirectory(directory);
    return;
  }
  if (errno != ENOENT) throw SocketError::system("stat", errno);

  // Create each missing level with exactly 0700, whatever the umask says.
  std::size_t at = 0;
  while (at != std::string::npos) {
    at = directory.find('/', at + 1);
    const std::string level = directory.substr(0, at);
    if (level.empty() || level == "/") continue;
    if (::mkdir(level.c_str(), 0700) == 0) {
      ::chmod(level.c_str(), 0700);
    } else if (errno != EEXIST) {
      throw std::filesystem::filesystem_error("cannot create directory", level,
                                              std::error_code(errno, std::generic_category()));
    }
  }
}

bool isOwnSocket(std::string_view path) {
  struct stat st {};
  return path.find('\0') == std::string_view::npos && ::lstat(std::string(path).c_str(), &st) == 0 &&
         S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

bool peerIsSameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::getuid();
}

bool peerClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) < 1) return false;
  if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return true;
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace UnixSocket

}  // namespace pellox
