#include "kit/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qm::kit {

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  if (options.cwd) posix_spawn_file_actions_addchdir_np(&fa, options.cwd->c_str());

  std::vector<std::string> env_strings;
  for (const auto& [k, v] : options.env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &def);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  pid_t pid;
  int rc = posix_spawn(&pid, argp[0], &fa, &attr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
  }

  RunResult result;
  std::size_t written = 0;
  int in_fd = in[1];
  if (options.stdin_data.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int io = -1, ie = -1, ii = -1;
    if (out_open) { io = n; fds[n++] = {out[0], POLLIN, 0}; }
    if (err_open) { ie = n; fds[n++] = {err[0], POLLIN, 0}; }
    if (in_fd >= 0) { ii = n; fds[n++] = {in_fd, POLLOUT, 0}; }
    if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto drain = [&](int idx, int fd, std::string& into, bool& open) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0)
        into.append(buf, static_cast<std::size_t>(r));
      else if (r == 0 || errno != EINTR)
        open = false;
    };
    drain(io, out[0], result.out, out_open);
    drain(ie, err[0], result.err, err_open);
    if (ii >= 0 && (fds[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in_fd, options.stdin_data.data() + written, options.stdin_data.size() - written);
      if (w > 0) written += static_cast<std::size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) written = options.stdin_data.size();
      if (written >= options.stdin_data.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::map<std::string, std::string> base_env(const std::string& home) {
  std::map<std::string, std::string> env;
  if (const char* p = std::getenv("PATH")) env["PATH"] = p;
  env["HOME"] = home;
  env["TZ"] = "UTC";
  // Every service a run may ask points at a closed loopback port, so no test reaches out.
  for (const char* name : {"QUILLIMARE_LITELLM_URL", "QUILLIMARE_MODELS_DEV_URL", "QUILLIMARE_ANTHROPIC_API_URL",
                           "QUILLIMARE_CLAUDE_PLATFORM_URL", "QUILLIMARE_CHATGPT_URL", "QUILLIMARE_CURSOR_API_URL"})
    env[name] = "http://127.0.0.1:9";
  // Sanitizer settings must reach the child when the suite runs under them.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) env[name] = v;
  return env;
}

}  // namespace qm::kit
