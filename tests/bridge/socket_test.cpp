#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "PelloxShared/UnixSocket.h"
#include "support.h"

namespace pellox {
namespace {

using testing::lowestFreeDescriptor;
using testing::TempDir;

// A listener and one accepted connection to it.
struct Pair {
  explicit Pair(double connectTimeout = 1) : client(UnixSocket::connect(dir.file("s.sock"), connectTimeout)) {}

  TempDir dir;
  int listener = UnixSocket::listen(dir.file("s.sock"), 4);
  int client;
  int server = ::accept(listener, nullptr, nullptr);

  ~Pair() {
    ::close(client);
    closeServer();
    ::close(listener);
  }
  void closeServer() {
    if (server >= 0) ::close(server);
    server = -1;
  }
};

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(SocketAddress, LengthLimitsAndForbiddenPaths) {
  TempDir dir;
  // The name fills the path up to 103 bytes.
  const std::string longest = dir.file(std::string(103 - dir.path().size() - 1, 'n'));
  ASSERT_EQ(longest.size(), 103u);
  const auto address = UnixSocket::address(longest);
  EXPECT_EQ(address.length, offsetof(sockaddr_un, sun_path) + 104);
  EXPECT_EQ(std::string(address.address.sun_path), longest);

  // The longest path really works end to end.
  const int listener = UnixSocket::listen(longest, 1);
  const int client = UnixSocket::connect(longest, 1);
  ::close(client);
  ::close(listener);

  const int before = lowestFreeDescriptor();
  EXPECT_THROW(UnixSocket::address(longest + "x"), SocketError);
  try {
    UnixSocket::connect(longest + "x", 1);
    ADD_FAILURE();
  } catch (const SocketError& e) {
    EXPECT_EQ(e, SocketError::pathTooLong());
  }
  // Empty or NUL-led paths would name the abstract namespace, which has no permissions.
  for (const std::string& path : {std::string(), std::string("\0abstract", 9), std::string("/tmp/a\0b", 8)}) {
    try {
      UnixSocket::connect(path, 1);
      ADD_FAILURE();
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::invalidPath());
    }
    EXPECT_THROW(UnixSocket::listen(path, 1), SocketError);
  }
  EXPECT_EQ(lowestFreeDescriptor(), before);
}

TEST(SocketConnect, FailuresCarryTheErrorAndLeaveNoDescriptor) {
  TempDir dir;
  std::ofstream(dir.file("plain")) << "x";
  {
    // A socket file whose listener is gone.
    const int stale = UnixSocket::listen(dir.file("stale.sock"), 1);
    ::close(stale);
  }
  struct Case {
    std::string path;
    int error;
  } cases[] = {
      {dir.file("missing.sock"), ENOENT},
      {dir.file("plain"), ECONNREFUSED},
      {dir.file("stale.sock"), ECONNREFUSED},
  };
  const int before = lowestFreeDescriptor();
  for (const auto& c : cases) {
    try {
      UnixSocket::connect(c.path, 0.3);
      ADD_FAILURE() << c.path;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::connectFailed(c.error)) << c.path << ": " << e.what();
    }
  }
  EXPECT_EQ(lowestFreeDescriptor(), before);
}

TEST(SocketConnect, ConnectedDescriptorIsBlockingWithSendTimeout) {
  for (double timeout : {0.3, 0.0, -1.0, nan, inf, 1e300}) {
    Pair pair(timeout);
    ASSERT_GE(pair.client, 0) << timeout;
    EXPECT_EQ(::fcntl(pair.client, F_GETFL) & O_NONBLOCK, 0) << timeout;
    timeval tv{};
    socklen_t size = sizeof tv;
    ASSERT_EQ(::getsockopt(pair.client, SOL_SOCKET, SO_SNDTIMEO, &tv, &size), 0);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 0);
    EXPECT_TRUE(UnixSocket::peerIsSameUser(pair.client));
  }
}

TEST(SocketConnect, FullBacklogTimesOut) {
  TempDir dir;
  const std::string path = dir.file("busy.sock");
  const int listener = UnixSocket::listen(path, 0);
  // Fill the backlog with connections that are never accepted.
  std::vector<int> queued;
  const auto addr = UnixSocket::address(path);
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr.address), addr.length) != 0) {
      ASSERT_EQ(errno, EAGAIN);
      ::close(fd);
      break;
    }
    queued.push_back(fd);
  }
  ASSERT_FALSE(queued.empty());

  const int before = lowestFreeDescriptor();
  for (double timeout : {0.05, 0.0, -3.0, nan}) {
    try {
      ::close(UnixSocket::connect(path, timeout));
      ADD_FAILURE() << timeout;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::timeout()) << timeout << ": " << e.what();
    }
  }
  EXPECT_EQ(lowestFreeDescriptor(), before);
  for (int fd : queued) ::close(fd);
  ::close(listener);
}

TEST(SocketWrite, ClosedPeerIsAnErrorNotASignal) {
  Pair pair;
  pair.closeServer();
  try {
    UnixSocket::writeAll(pair.client, "the whole event");
    ADD_FAILURE();
  } catch (const SocketError& e) {
    EXPECT_EQ(e, SocketError::system("write", EPIPE));
  }
}

TEST(SocketWrite, EverythingArrivesAcrossManyWrites) {
  Pair pair;
  const std::string big(3 << 20, 'z');
  std::thread writer([&] { UnixSocket::writeAll(pair.client, big + "\n"); });
  const auto line = UnixSocket::readLine(pair.server, big.size(), 20);
  writer.join();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, big);
  EXPECT_NO_THROW(UnixSocket::writeAll(pair.client, ""));
}

TEST(SocketReadLine, LineShapes) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool closeAfter;
    std::size_t maxBytes;
    std::optional<std::string> want;
  } cases[] = {
      {"split over writes; the rest of the read is dropped", {"a", "b", "c\nd"}, false, 1024, "abc"},
      {"no newline before close", {"0123456789"}, true, 1024, "0123456789"},
      {"closed before any byte", {}, true, 1024, std::nullopt},
      {"empty line", {"\n"}, false, 1024, ""},
      {"a line completed by the read that crosses the cap",
       {std::string(19, 'x') + "\n"},
       false,
       16,
       std::string(19, 'x')},
  };
  for (const auto& c : cases) {
    Pair pair;
    std::thread peer([&] {
      testing::writeInPieces(pair.server, c.pieces);
      if (c.closeAfter) pair.closeServer();
    });
    EXPECT_EQ(UnixSocket::readLine(pair.client, c.maxBytes, 20), c.want) << c.name;
    peer.join();
  }
}

TEST(SocketReadLine, Refusals) {
  {
    Pair pair;
    UnixSocket::writeAll(pair.server, std::string(20, 'x'));
    try {
      UnixSocket::readLine(pair.client, 16, 20);
      ADD_FAILURE();
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::lineTooLong());
    }
  }
  {
    // The reply cap of the bridge, against a peer that keeps on sending.
    Pair pair;
    std::thread writer([&] {
      try {
        UnixSocket::writeAll(pair.server, std::string(1'048'577 + 8192 * 4, 'y'));
      } catch (const SocketError&) {
        // The reader gave up and closed: expected.
      }
    });
    try {
      UnixSocket::readLine(pair.client, 1'048'576, 20);
      ADD_FAILURE();
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::lineTooLong());
    }
    ::shutdown(pair.client, SHUT_RDWR);
    writer.join();
  }
}

TEST(SocketReadLine, TimeOuts) {
  // No time at all: fails before reading, the data stays unread.
  for (double timeout : {0.0, -1.0, nan}) {
    Pair pair;
    UnixSocket::writeAll(pair.server, "ready\n");
    try {
      UnixSocket::readLine(pair.client, 1024, timeout);
      ADD_FAILURE() << timeout;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::timeout()) << timeout;
    }
    char peek[6];
    EXPECT_EQ(::recv(pair.client, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT), 6);
  }
  // A peer that stays silent, or stops half-way through a line.
  for (const char* sent : {"", "{\"version\""}) {
    Pair pair;
    UnixSocket::writeAll(pair.server, sent);
    try {
      UnixSocket::readLine(pair.client, 1024, 0.05);
      ADD_FAILURE() << sent;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::timeout()) << sent;
    }
  }
  // A huge time-out is capped rather than turned into a broken poll wait.
  Pair pair;
  UnixSocket::writeAll(pair.server, "ok\n");
  EXPECT_EQ(UnixSocket::readLine(pair.client, 1024, inf), "ok");
}

TEST(SocketPeer, ClosedAndSameUser) {
  Pair pair;
  EXPECT_TRUE(UnixSocket::peerIsSameUser(pair.server));
  EXPECT_FALSE(UnixSocket::peerClosed(pair.server));
  UnixSocket::writeAll(pair.client, "pending");
  EXPECT_FALSE(UnixSocket::peerClosed(pair.server));
  ::close(pair.client);
  pair.client = -1;
  EXPECT_TRUE(UnixSocket::peerClosed(pair.server));
  EXPECT_FALSE(UnixSocket::peerIsSameUser(-1));
}

TEST(SocketPath, OnlyOurOwnSocketItself) {
  TempDir dir;
  const std::string ours = dir.file("ours.sock");
  const int listener = UnixSocket::listen(ours, 1);
  const std::string link = dir.file("link.sock");
  ASSERT_EQ(::symlink(ours.c_str(), link.c_str()), 0);
  const std::string plain = dir.file("plain");
  std::ofstream(plain) << "";
  const std::string theirs = dir.file("theirs.sock");
  ::close(UnixSocket::listen(theirs, 1));
  const bool root = ::getuid() == 0;
  if (root) {
    ASSERT_EQ(::lchown(theirs.c_str(), 65534, 65534), 0);
  }

  EXPECT_TRUE(UnixSocket::isOwnSocket(ours));
  for (const auto& path : {link, plain, dir.file("missing.sock"), dir.path(), std::string(), ours + '\0'}) {
    EXPECT_FALSE(UnixSocket::isOwnSocket(path)) << path;
  }
  EXPECT_NE(UnixSocket::isOwnSocket(theirs), root);
  ::close(listener);
}

TEST(SocketListen, ClaimsThePathSafely) {
  TempDir dir;
  const std::string path = dir.file("run/deeper/pellox.sock");

  const int first = UnixSocket::listen(path, 4);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const auto& created : {dir.file("run"), dir.file("run/deeper")}) {
    ASSERT_EQ(::stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << created;
  }

  // A live listener keeps the path.
  try {
    ::close(UnixSocket::listen(path, 4));
    ADD_FAILURE();
  } catch (const SocketError& e) {
    EXPECT_EQ(e, SocketError::alreadyRunning());
  }
  ::close(UnixSocket::connect(path, 1));

  // Its socket left behind after it is gone is replaced.
  ::close(first);
  const int second = UnixSocket::listen(path, 4);
  const int client = UnixSocket::connect(path, 1);
  EXPECT_GE(client, 0);
  ::close(client);
  ::close(second);
}

TEST(SocketListen, LeavesFilesThatAreNotItsSocket) {
  TempDir dir;
  const std::string plain = dir.file("plain.sock");
  std::ofstream(plain) << "keep me";
  const std::string link = dir.file("link.sock");
  ASSERT_EQ(::symlink(plain.c_str(), link.c_str()), 0);

  const int before = lowestFreeDescriptor();
  for (const auto& path : {plain, link}) {
    try {
      ::close(UnixSocket::listen(path, 4));
      ADD_FAILURE() << path;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::system("bind", EADDRINUSE)) << path;
    }
  }
  EXPECT_EQ(lowestFreeDescriptor(), before);
  std::ifstream in(plain);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST(SocketListen, DirectoryMustBeOursAndClosed) {
  TempDir dir;
  const std::string open = dir.file("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  for (mode_t mode : {0775, 0757, 0722}) {
    ASSERT_EQ(::chmod(open.c_str(), mode), 0);
    try {
      UnixSocket::prepareDirectory(open);
      ADD_FAILURE() << std::oct << mode;
    } catch (const SocketError& e) {
      EXPECT_EQ(e, SocketError::insecureDirectory(open));
    }
    EXPECT_THROW(UnixSocket::listen(open + "/p.sock", 1), SocketError);
    EXPECT_FALSE(std::filesystem::exists(open + "/p.sock"));
  }
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
  EXPECT_NO_THROW(UnixSocket::prepareDirectory(open));

  // A file where a directory level should be.
  std::ofstream(dir.file("file")) << "";
  EXPECT_ANY_THROW(UnixSocket::prepareDirectory(dir.file("file/sub")));
}

// Another user's files, which only root can set up here.
TEST(SocketListen, RefusesAnotherUsersDirectoryAndSocket) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to create files of another user";
  constexpr uid_t nobody = 65534;
  TempDir dir;
  const std::string theirs = dir.file("theirs");
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), nobody, nobody), 0);
  EXPECT_THROW(UnixSocket::prepareDirectory(theirs), SocketError);

  const std::string stale = dir.file("stale.sock");
  ::close(UnixSocket::listen(stale, 1));
  ASSERT_EQ(::lchown(stale.c_str(), nobody, nobody), 0);
  try {
    ::close(UnixSocket::listen(stale, 1));
    ADD_FAILURE();
  } catch (const SocketError& e) {
    EXPECT_EQ(e, SocketError::system("bind", EADDRINUSE));
  }
  struct stat st {};
  ASSERT_EQ(::lstat(stale.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody);
}

}  // namespace
}  // namespace pellox
