#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "util.h"

extern char** environ;

namespace qm::subprocess {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::expected<Child, std::string> start(const std::string& program, const std::vector<std::string>& args,
                                        Stream in, Stream out, Stream err) {
  int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  Stream modes[3] = {in, out, err};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  for (int i = 0; i < 3; ++i) {
    if (modes[i] == Stream::Pipe) {
      if (pipe2(pipes[i], O_CLOEXEC) != 0) {
        int e = errno;
        for (auto& p : pipes) {
          close_fd(p[0]);
          close_fd(p[1]);
        }
        posix_spawn_file_actions_destroy(&fa);
        return std::unexpected(util::os_error(e));
      }
      posix_spawn_file_actions_adddup2(&fa, i == 0 ? pipes[i][0] : pipes[i][1], i);
    } else if (modes[i] == Stream::Null) {
      posix_spawn_file_actions_addopen(&fa, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_store;
  argv_store.push_back(program);
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);

  Child child;
  close_fd(pipes[0][0]);
  close_fd(pipes[1][1]);
  close_fd(pipes[2][1]);
  if (rc != 0) {
    close_fd(pipes[0][1]);
    close_fd(pipes[1][0]);
    close_fd(pipes[2][0]);
    return std::unexpected(util::os_error(rc));
  }
  child.pid = pid;
  child.stdin_fd = pipes[0][1];
  child.stdout_fd = pipes[1][0];
  child.stderr_fd = pipes[2][0];
  return child;
}

std::expected<int, std::string> wait(Child& child) {
  close_fd(child.stdin_fd);
  int status = 0;
  for (;;) {
    if (::waitpid(child.pid, &status, 0) >= 0) break;
    if (errno != EINTR) return std::unexpected(util::os_error(errno));
  }
  close_fd(child.stdout_fd);
  close_fd(child.stderr_fd);
  child.pid = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::expected<Captured, std::string> run_captured(const std::string& program, const std::vector<std::string>& args,
                                                  const std::string& input,
                                                  std::optional<std::chrono::milliseconds> timeout) {
  auto child = start(program, args, Stream::Pipe, Stream::Pipe, Stream::Pipe);
  if (!child) return std::unexpected(child.error());
  Captured cap;
  std::size_t written = 0;
  if (input.empty()) close_fd(child->stdin_fd);
  else fcntl(child->stdin_fd, F_SETFL, O_NONBLOCK);
  auto deadline = timeout ? std::optional(std::chrono::steady_clock::now() + *timeout) : std::nullopt;
  char buf[16384];
  bool timed_out = false;
  while (child->stdout_fd >= 0 || child->stderr_fd >= 0) {
    pollfd fds[3];
    nfds_t n = 0;
    int* owners[3];
    std::string* sinks[3] = {nullptr, nullptr, nullptr};
    if (child->stdout_fd >= 0) { owners[n] = &child->stdout_fd; sinks[n] = &cap.out; fds[n++] = {child->stdout_fd, POLLIN, 0}; }
    if (child->stderr_fd >= 0) { owners[n] = &child->stderr_fd; sinks[n] = &cap.err; fds[n++] = {child->stderr_fd, POLLIN, 0}; }
    if (child->stdin_fd >= 0) { owners[n] = &child->stdin_fd; fds[n++] = {child->stdin_fd, POLLOUT, 0}; }
    int wait_ms = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timed_out = true;
        break;
      }
      wait_ms = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    int r = ::poll(fds, n, wait_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (sinks[i]) {
        ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        if (got > 0) sinks[i]->append(buf, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR) close_fd(*owners[i]);
      } else {
        ssize_t w = ::write(fds[i].fd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written >= input.size()) close_fd(*owners[i]);
      }
    }
  }
  if (timed_out) ::kill(child->pid, SIGKILL);
  auto status = wait(*child);
  if (timed_out) return std::unexpected(std::string("timed out"));
  if (!status) return std::unexpected(status.error());
  cap.status = *status;
  return cap;
}

}  // namespace qm::subprocess
