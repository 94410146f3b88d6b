#include "kit/snapshot.h"

#include <sys/stat.h>

#include "kit/env.h"

namespace qm::kit {

namespace fs = std::filesystem;

Snapshot::Snapshot(fs::path path) : path_(std::move(path)), files_(take()) {}

std::map<std::string, Snapshot::FileState> Snapshot::take() const {
  std::map<std::string, FileState> out;
  auto add = [&](const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return;
    out[p.string()] = FileState{S_ISREG(st.st_mode) ? read_file(p) : std::string(), st.st_mtim};
  };
  if (fs::is_directory(path_)) {
    for (const auto& e : fs::recursive_directory_iterator(path_)) add(e.path());
  } else {
    add(path_);
  }
  return out;
}

testing::AssertionResult Snapshot::unchanged() const {
  auto now = take();
  for (const auto& [name, before] : files_) {
    auto it = now.find(name);
    if (it == now.end()) return testing::AssertionFailure() << name << " is gone";
    if (it->second.bytes != before.bytes) return testing::AssertionFailure() << name << " has other bytes";
    if (it->second.mtime.tv_sec != before.mtime.tv_sec || it->second.mtime.tv_nsec != before.mtime.tv_nsec)
      return testing::AssertionFailure() << name << " has another modification time";
  }
  for (const auto& [name, state] : now)
    if (!files_.contains(name)) return testing::AssertionFailure() << name << " is new";
  return testing::AssertionSuccess();
}

}  // namespace qm::kit
