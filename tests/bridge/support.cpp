#include "support.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "PelloxShared/UnixSocket.h"

namespace pellox::testing {

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

Run runBridge(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
              const std::string& input) {
  std::vector<std::string> argv{PELLOX_BRIDGE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  qm::kit::RunOptions options;
  options.env = environment;
  options.stdin_data = input;
  return qm::kit::run(argv, options);
}

}  // namespace pellox::testing
