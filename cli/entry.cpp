// Process entry of quillimare.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/main.h"

int main(int argc, char** argv) {
  // A closed standard descriptor would otherwise be reused by the first file we open.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
      }
    }
  }
  signal(SIGPIPE, SIG_IGN);
  auto result = qm::cli::main::main(argc, argv);
  std::fflush(stdout);
  if (!result) {
    std::fprintf(stderr, "Error: %s\n", qm::cli::debug_form(result.error()).c_str());
    return 1;
  }
  return 0;
}
