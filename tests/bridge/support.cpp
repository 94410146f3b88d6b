#include "support.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "PelloxShared/UnixSocket.h"

namespace pellox::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/pxb.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int lowestFreeDescriptor() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

void writeInPieces(int fd, const std::vector<std::string>& pieces) {
  for (const auto& piece : pieces) {
    UnixSocket::writeAll(fd, piece);
    int unread = 1;
    for (int i = 0; i < 10000 && unread > 0; ++i) {
      if (::ioctl(fd, SIOCOUTQ, &unread) != 0) break;
      if (unread > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

bool connectionPending(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

Companion::Companion(std::string path) : path_(std::move(path)) { listen_fd_ = UnixSocket::listen(path_, 8); }

Companion::~Companion() {
  finish();
  ::close(listen_fd_);
}

void Companion::serve(Script script) {
  thread_ = std::thread([this, script = std::move(script)] {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return;
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    accepted_ = true;
    try {
      request_ = UnixSocket::readLine(fd, 4 << 20, 20);
      script(fd);
      // Whatever the script did, the bridge should now close without sending more.
      char byte;
      pollfd c{fd, POLLIN, 0};
      closed_after_request_ = ::poll(&c, 1, 20000) == 1 && ::read(fd, &byte, 1) == 0;
    } catch (const std::exception&) {
    }
    ::close(fd);
  });
}

void Companion::finish() {
  if (thread_.joinable()) thread_.join();
}

Companion::Script Companion::reply(std::string bytes) {
  return [bytes = std::move(bytes)](int fd) { UnixSocket::writeAll(fd, bytes); };
}

Companion::Script Companion::replyInPieces(std::vector<std::string> pieces) {
  return [pieces = std::move(pieces)](int fd) { writeInPieces(fd, pieces); };
}

Companion::Script Companion::replyAndHangUp(std::string bytes) {
  return [bytes = std::move(bytes)](int fd) {
    UnixSocket::writeAll(fd, bytes);
    ::shutdown(fd, SHUT_WR);
  };
}

Companion::Script Companion::silent() {
  return [](int) {};
}

namespace {

void readAvailable(int& fd, std::string& into) {
  char buffer[65536];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

Run runBridge(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
              const std::string& input) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<std::string> argStrings{PELLOX_BRIDGE_BINARY};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : environment) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, PELLOX_BRIDGE_BINARY, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) throw std::runtime_error("cannot start pellox-bridge");

  // The bridge reads all of its input before it writes anything.
  std::string_view rest(input);
  while (!rest.empty()) {
    const ssize_t n = ::write(in[1], rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(in[1]);

  Run run;
  int outFd = out[0], errFd = err[0];
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (outFd >= 0 && fds[0].revents != 0) readAvailable(outFd, run.out);
    if (errFd >= 0 && fds[1].revents != 0) readAvailable(errFd, run.err);
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace pellox::testing
