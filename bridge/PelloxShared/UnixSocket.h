#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace pellox {

struct SocketError : std::exception {
  enum class Kind {
    insecureDirectory,  // text: the directory
    connectFailed,      // code: errno or the pending SO_ERROR
    system,             // text: the failing call; code: errno
    pathTooLong,
    invalidPath,  // empty, or holding a NUL byte
    alreadyRunning,
    timeout,
    lineTooLong,
  };

  Kind kind;
  std::string text;
  int code = 0;

  static SocketError insecureDirectory(std::string path) { return {Kind::insecureDirectory, std::move(path), 0}; }
  static SocketError connectFailed(int error) { return {Kind::connectFailed, {}, error}; }
  static SocketError system(std::string call, int error) { return {Kind::system, std::move(call), error}; }
  static SocketError pathTooLong() { return {Kind::pathTooLong, {}, 0}; }
  static SocketError invalidPath() { return {Kind::invalidPath, {}, 0}; }
  static SocketError alreadyRunning() { return {Kind::alreadyRunning, {}, 0}; }
  static SocketError timeout() { return {Kind::timeout, {}, 0}; }
  static SocketError lineTooLong() { return {Kind::lineTooLong, {}, 0}; }

  const char* what() const noexcept override;

  friend bool operator==(const SocketError& a, const SocketError& b) {
    return a.kind == b.kind && a.text == b.text && a.code == b.code;
  }

 private:
  SocketError(Kind k, std::string t, int c);
  std::string message_;
};

// Unix-domain stream sockets: the client half the bridge uses, and the
// listening half of the companion application. Callers own and close every
// descriptor returned.
namespace UnixSocket {

// Longest path accepted, in bytes; the same on every platform we run on.
inline constexpr std::size_t maxPathBytes = 103;
inline constexpr int sendTimeoutSeconds = 2;
inline constexpr std::size_t readChunkBytes = 8192;

struct Address {
  sockaddr_un address{};
  socklen_t length = 0;  // exactly the path and its NUL
};

// Throws pathTooLong, or invalidPath for an empty path or one holding a NUL
// (which on Linux would name the unprotected abstract namespace).
Address address(std::string_view path);

// A connected, blocking descriptor with a 2-second send time-out. The wait for
// a listener with a full backlog is bounded by `timeout` seconds (NaN or at most
// 0: no wait). Throws pathTooLong, invalidPath, system("socket"),
// connectFailed, timeout.
int connect(std::string_view path, double timeout);

// Writes every byte; a peer that went away is an error, never a signal.
// Throws system("write").
void writeAll(int fd, std::string_view bytes);

// One line without its 0x0A; the bytes after it in the same read are dropped.
// The bytes before the end of the stream when the peer closes without a line
// end; nothing when it closed before sending any. Throws timeout (also for a
// time-out of NaN or at most 0, before reading), lineTooLong, system("poll"),
// system("read").
std::optional<std::string> readLine(int fd, std::size_t maxBytes, double timeout);

// Claims `path`: vets or creates its directory, replaces a stale socket of
// ours, binds with mode 0600 and listens. Throws pathTooLong, invalidPath,
// the errors of prepareDirectory, alreadyRunning, system("socket", "bind",
// "listen"); a path held by anything but our own dead socket is refused as
// system("bind", EADDRINUSE).
int listen(std::string_view path, int backlog);

// Accepts an existing directory only when we own it and neither group nor
// others may write it; creates a missing one (and its parents) with mode 0700.
// Throws insecureDirectory, system("stat"), or std::filesystem::filesystem_error.
void prepareDirectory(const std::string& directory);

// Whether `path` itself, not a symbolic link, is a socket owned by our user:
// in a shared directory anyone could plant a link to another socket of ours.
bool isOwnSocket(std::string_view path);

bool peerIsSameUser(int fd);

// Whether the peer has closed its end, without waiting or consuming data.
bool peerClosed(int fd);

}  // namespace UnixSocket

}  // namespace pellox
