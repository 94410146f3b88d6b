// Preloaded into a program under test to stop it at a known point: fsync(2) of a file whose
// path holds QM_HOLD_FSYNC_MATCH writes that path to the descriptor QM_HOLD_FSYNC_FD (a pipe
// the test reads) and never returns, so the process stays there until a signal ends it.
// Every other fsync is the real one.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int fsync(int fd) {
  const char* match = std::getenv("QM_HOLD_FSYNC_MATCH");
  const char* report_fd = std::getenv("QM_HOLD_FSYNC_FD");
  if (match && report_fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n > 0) {
      path[n] = '\0';
      if (std::strstr(path, match)) {
        const int out = std::atoi(report_fd);
        (void)!::write(out, path, static_cast<std::size_t>(n));
        ::close(out);
        for (;;) ::pause();
      }
    }
  }
  using Fsync = int (*)(int);
  static const auto real = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
  return real(fd);
}
