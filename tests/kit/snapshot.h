#pragma once
// Proof that a run left files alone: the bytes and modification time of a file, or of every
// file below a directory (and the set of names there, so a new -wal or -shm file shows).
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace qm::kit {

class Snapshot {
 public:
  explicit Snapshot(std::filesystem::path path);
  // Success when every file is as it was and none came or went.
  testing::AssertionResult unchanged() const;

 private:
  struct FileState {
    std::string bytes;
    timespec mtime{};
  };
  std::map<std::string, FileState> take() const;

  std::filesystem::path path_;
  std::map<std::string, FileState> files_;
};

}  // namespace qm::kit
