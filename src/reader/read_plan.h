#pragma once
// How the connections of one read of a database open it, settled before the first of them
// opens. A database in write-ahead mode whose log is gone (its agent closed it) is opened as
// immutable: an ordinary read-only open would leave new -wal and -shm files beside it. SQLite
// then takes no lock, so the plan takes the file's shared lock itself (an agent that opens the
// database meanwhile cannot fold its log back into the file when it closes) and looks at the
// file again when the read is done. Any other database is opened read-only with normal
// locking, which keeps a read of one state.
//
// The file is never opened beside a connection: closing any descriptor of a file drops every
// lock this process holds on it, the connection's shared lock too. The plan's own lock belongs
// to its open file description, which the connections' descriptors do not touch.
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace qm::reader {

inline constexpr int kBusyTimeoutMs = 3000;

class ReadPlan {
 public:
  // Immutable only when `may_be_immutable`, the file is in write-ahead mode, no log is beside
  // it and its shared lock could be had within the busy time-out.
  static ReadPlan make(const std::filesystem::path& path, bool may_be_immutable);
  ReadPlan(ReadPlan&&) noexcept;
  ReadPlan& operator=(ReadPlan&&) = delete;
  ReadPlan(const ReadPlan&) = delete;
  ~ReadPlan();

  const std::filesystem::path& path() const { return path_; }
  // The URI every connection of the read opens.
  const std::string& uri() const { return uri_; }
  bool immutable() const { return fd_ >= 0; }
  // False when an immutable read's file changed since make(): a log beside it, another file
  // at the path, another size, modification time or change counter. Always true otherwise.
  bool unchanged() const;

  // What tells one state of the file from another.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    std::uint32_t change_counter = 0;
    bool operator==(const Identity&) const = default;
  };

 private:
  explicit ReadPlan(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;
  std::string uri_;
  int fd_ = -1;  // holds the shared lock of an immutable read
  Identity identity_;
};

}  // namespace qm::reader
