#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace pellox::PelloxPaths {

namespace {

std::optional<std::string> homeDirectory(const Environment& environment) {
  auto home = environment.find("HOME");
  if (home != environment.end() && home->second.starts_with('/')) return home->second;

  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> socketPath(const Environment& environment) {
  auto configured = environment.find(socketEnvVar);
  if (configured != environment.end() && !configured->second.empty()) return configured->second;

  auto home = homeDirectory(environment);
  if (!home) return std::nullopt;
  while (home->size() > 1 && home->back() == '/') home->pop_back();
  if (*home == "/") home->clear();
  return *home + std::string(defaultSocketPath.substr(1));
}

}  // namespace pellox::PelloxPaths
