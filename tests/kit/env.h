#pragma once
// Test fixtures: temporary directories and environment variables restored on scope exit.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::kit {

// A fresh private directory under the system temporary directory (or under `parent`, such
// as /tmp where socket paths must stay short), removed with everything in it.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view rel) const { return path_ / rel; }

 private:
  std::filesystem::path path_;
};

// Sets or unsets variables for the life of the guard; the old values come back afterwards.
class EnvGuard {
 public:
  EnvGuard() = default;
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  EnvGuard& set(const std::string& name, const std::string& value);
  EnvGuard& unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> saved_;
};

// Writes a file, creating its parent directories.
void write_file(const std::filesystem::path& path, std::string_view content);
std::string read_file(const std::filesystem::path& path);

}  // namespace qm::kit
