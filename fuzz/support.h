#pragma once
// Pieces the fuzz targets share: the input as a file, and a failed property as a crash
// that libFuzzer keeps the input of.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzing {

[[noreturn]] inline void broken(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::abort();
}

// The input in memory under a path, for readers that open files.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view content) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    while (!content.empty()) {
      const ssize_t n = ::write(fd_, content.data(), content.size());
      if (n <= 0) std::abort();
      content.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Opening it gives a new reader at the first byte.
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace fuzzing

#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) ::fuzzing::broken(#condition, __FILE__, __LINE__); \
  } while (false)
