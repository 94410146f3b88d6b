#include "cache_dir.h"

#include "util.h"

namespace qm::cache_dir {

std::optional<std::filesystem::path> user_cache_dir() {
  auto home = util::home_dir();
#if defined(__APPLE__)
  if (!home) return std::nullopt;
  return std::filesystem::path(*home) / "Library/Caches/quillimare";
#else
  if (auto xdg = util::env("XDG_CACHE_HOME"); xdg && !xdg->empty() && xdg->front() == '/')
    return std::filesystem::path(*xdg) / "quillimare";
  if (!home) return std::nullopt;
  return std::filesystem::path(*home) / ".cache/quillimare";
#endif
}

std::optional<std::filesystem::path> cache_dir() {
  // An empty value would otherwise mean the working directory.
  if (auto dir = util::env("QUILLIMARE_CACHE_DIR"); dir && !dir->empty()) return std::filesystem::path(*dir);
  return user_cache_dir();
}

}  // namespace qm::cache_dir
