#include "kit/env.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qm::kit {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& parent) {
  std::string tmpl = (parent / "qm-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may drop permissions on purpose; give them back so the tree can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

EnvGuard::~EnvGuard() {
  for (const auto& [name, value] : saved_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

void EnvGuard::remember(const std::string& name) {
  if (saved_.count(name)) return;
  const char* v = ::getenv(name.c_str());
  saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
}

EnvGuard& EnvGuard::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
  return *this;
}

EnvGuard& EnvGuard::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
  return *this;
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace qm::kit
