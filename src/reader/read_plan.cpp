#include "reader/read_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>

namespace qm::reader {

namespace fs = std::filesystem;

namespace {

// The header's bytes that matter here: the read version (byte 19, 2 in write-ahead mode: it
// alone makes SQLite read through the log; byte 18, the write version, may say anything) and
// the change counter (bytes 24 to 27).
constexpr std::size_t kHeaderBytes = 28;
// SQLite's lock bytes: a reader takes a read lock on the pending byte, then on the shared
// range, and lets go of the pending byte; a writer needs the whole shared range to itself.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;
constexpr auto kLockRetry = std::chrono::milliseconds(5);

void append_uri_path(std::string& uri, const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c == 0x7F) {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xF];
    } else {
      uri += static_cast<char>(c);
    }
  }
}

std::string read_only_uri(const fs::path& path, bool immutable) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  std::string uri = "file://";  // an empty authority: the path follows
  // Not normalised as text: "link/.." leads where the link's target leads, which SQLite finds.
  append_uri_path(uri, absolute.string());
  uri += "?mode=ro";
  if (immutable) uri += "&immutable=1";
  return uri;
}

bool read_header(int fd, unsigned char (&header)[kHeaderBytes]) {
  return ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
}

bool has_log(const fs::path& path) {
  fs::path wal = path;
  wal += "-wal";
  struct stat st;
  return ::stat(wal.c_str(), &st) == 0 || errno != ENOENT;  // anything but "no such file" may be one
}

// Another process's locks conflict with the open file description's as with its own. Where
// there are none, the process's own lock does (a connection that closes early drops it; the
// look after the read remains).
#ifndef F_OFD_SETLK
#define F_OFD_SETLK F_SETLK
#endif
bool set_lock(int fd, short type, off_t start, off_t length, int* error) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  *error = errno;
  return false;
}

enum class Locked { Yes, Busy, Unsupported };
Locked busy_or_unsupported(int error) { return error == EAGAIN || error == EACCES ? Locked::Busy : Locked::Unsupported; }

Locked lock_shared(int fd) {
  int error = 0;
  if (!set_lock(fd, F_RDLCK, kPendingByte, 1, &error)) return busy_or_unsupported(error);
  const bool shared = set_lock(fd, F_RDLCK, kSharedFirst, kSharedSize, &error);
  int ignored = 0;
  set_lock(fd, F_UNLCK, kPendingByte, 1, &ignored);
  return shared ? Locked::Yes : busy_or_unsupported(error);
}

// The identity of the open file, when the path still names it.
std::optional<ReadPlan::Identity> identity_of(int fd, const fs::path& path) {
  struct stat open_file, named;
  unsigned char header[kHeaderBytes];
  if (::fstat(fd, &open_file) != 0 || ::stat(path.c_str(), &named) != 0 || !read_header(fd, header)) return std::nullopt;
  if (open_file.st_dev != named.st_dev || open_file.st_ino != named.st_ino) return std::nullopt;
  return ReadPlan::Identity{
      open_file.st_dev,
      open_file.st_ino,
      open_file.st_size,
      static_cast<std::int64_t>(open_file.st_mtim.tv_sec) * 1'000'000'000 + open_file.st_mtim.tv_nsec,
      static_cast<std::uint32_t>(header[24]) << 24 | static_cast<std::uint32_t>(header[25]) << 16 |
          static_cast<std::uint32_t>(header[26]) << 8 | header[27],
  };
}

// A descriptor holding the shared lock of a write-ahead database without a log, or -1 (any
// other file, or a writer kept the lock past the busy time-out).
int hold_closed_log(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  unsigned char header[kHeaderBytes];
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !read_header(fd, header) || header[19] != 2) {
    ::close(fd);  // before any connection opens the file
    return -1;
  }
  // A writer holds the range only while it folds its log into the file (or commits without one).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  Locked locked;
  while ((locked = lock_shared(fd)) == Locked::Busy && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kLockRetry);
  // Where no lock is to be had, the look after the read still sees most changes.
  if (locked == Locked::Busy || has_log(path)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ReadPlan ReadPlan::make(const fs::path& path, bool may_be_immutable) {
  ReadPlan plan(path);
  if (may_be_immutable) {
    plan.fd_ = hold_closed_log(path);
    if (plan.fd_ >= 0) {
      if (auto identity = identity_of(plan.fd_, path)) {
        plan.identity_ = *identity;
      } else {
        ::close(plan.fd_);
        plan.fd_ = -1;
      }
    }
  }
  plan.uri_ = read_only_uri(path, plan.immutable());
  return plan;
}

ReadPlan::ReadPlan(ReadPlan&& o) noexcept
    : path_(std::move(o.path_)), uri_(std::move(o.uri_)), fd_(o.fd_), identity_(o.identity_) {
  o.fd_ = -1;
}

ReadPlan::~ReadPlan() {
  if (fd_ >= 0) ::close(fd_);
}

bool ReadPlan::unchanged() const { return fd_ < 0 || (!has_log(path_) && identity_of(fd_, path_) == identity_); }

}  // namespace qm::reader
