// SIGINT, SIGTERM and SIGHUP during a run of the built program: on a real pseudo-terminal
// while the spinner draws, and while the HTML report is being written. The program is held
// at a known point each time (a price download that gets no answer, an fsync that does not
// return), so nothing depends on timing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kit/env.h"
#include "kit/run.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// A loopback port that takes connections into its backlog and never answers them.
class SilentPort {
 public:
  SilentPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      ADD_FAILURE() << "silent port: " << std::strerror(errno);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentPort() { ::close(fd_); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/prices.json"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Starts `argv` with exactly `env`; each of `fds` becomes the child's descriptor of that number.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::map<int, int>& fds) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  for (auto [child_fd, parent_fd] : fds) posix_spawn_file_actions_adddup2(&fa, parent_fd, child_fd);
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, argp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argp[0], &fa, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) ADD_FAILURE() << "spawn: " << std::strerror(rc);
  return rc == 0 ? pid : -1;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// A pseudo-terminal whose other side becomes the child's standard output and error.
struct Terminal {
  int master = -1;
  int slave = -1;
  std::string seen;

  Terminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0)
      ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~Terminal() {
    if (slave >= 0) ::close(slave);
    ::close(master);
  }
  // The child holds the terminal now: it reads end-of-file once the child is gone.
  void handed_over() {
    ::close(slave);
    slave = -1;
  }
  // Reads until `needle` has been seen (true) or the child has gone (false).
  bool read_until(std::string_view needle) {
    char buf[4096];
    while (needle.empty() || seen.find(needle) == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 120'000) <= 0) return false;  // a bound for a broken run, not a timing
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // EIO: no one holds the other side any more
      seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
};

constexpr std::string_view kHideCursor = "\x1b[?25l";
constexpr std::string_view kEraseAndShowCursor = "\r\x1b[K\x1b[?25h";
constexpr std::string_view kDownloading = "Refreshing model pricing from LiteLLM...";

struct SignalCase {
  int sig;
  const char* name;
};
constexpr SignalCase kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

TEST(ExitSignals, SpinnerLineErasedAndCursorShownThenDeathByTheSignal) {
  for (const auto& c : kSignals) {
    SCOPED_TRACE(c.name);
    kit::TempDir home;
    SilentPort prices;
    auto env = kit::base_env(home.path().string());
    env["QUILLIMARE_LITELLM_URL"] = prices.url();
    Terminal term;
    const pid_t pid = spawn({QM_BINARY, "summary"}, env, {{1, term.slave}, {2, term.slave}});
    ASSERT_GT(pid, 0);
    term.handed_over();
    // The spinner shows the download, which waits for an answer that never comes.
    ASSERT_TRUE(term.read_until(kDownloading)) << term.seen;
    ASSERT_EQ(::kill(pid, c.sig), 0);
    term.read_until("");
    const int status = wait_status(pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), c.sig);
    EXPECT_NE(term.seen.find(kHideCursor), std::string::npos);
    EXPECT_TRUE(term.seen.ends_with(kEraseAndShowCursor)) << ::testing::PrintToString(term.seen);
  }
}

// Started with SIGHUP ignored (nohup, a background job), the program keeps it ignored.
TEST(ExitSignals, ASignalIgnoredAtTheStartStaysIgnored) {
  kit::TempDir home;
  SilentPort prices;
  auto env = kit::base_env(home.path().string());
  env["QUILLIMARE_LITELLM_URL"] = prices.url();
  Terminal term;
  const pid_t pid = spawn({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" summary", QM_BINARY}, env,
                          {{1, term.slave}, {2, term.slave}});
  ASSERT_GT(pid, 0);
  term.handed_over();
  ASSERT_TRUE(term.read_until(kDownloading)) << term.seen;
  ASSERT_EQ(::kill(pid, SIGHUP), 0);  // discarded
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  term.read_until("");
  const int status = wait_status(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(term.seen.ends_with(kEraseAndShowCursor));
}

TEST(ExitSignals, ReportTemporaryFileRemoved) {
  for (const auto& c : kSignals) {
    SCOPED_TRACE(c.name);
    kit::TempDir home;
    auto env = kit::base_env(home.path().string());
    env["LD_PRELOAD"] = QM_HOLD_FSYNC_LIBRARY;
    env["QM_HOLD_FSYNC_MATCH"] = "cost-report-";
    env["QM_HOLD_FSYNC_FD"] = "3";
    // The preloaded library comes before a sanitizer's runtime.
    env["ASAN_OPTIONS"] = (env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "") + "verify_asan_link_order=0";
    int held[2];
    ASSERT_EQ(::pipe2(held, O_CLOEXEC), 0);
    const int null_out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = spawn({QM_BINARY, "summary", "--offline", "--html"}, env,
                            {{1, null_out}, {2, null_out}, {3, held[1]}});
    ::close(null_out);
    ::close(held[1]);
    ASSERT_GT(pid, 0);
    // The path of the file being written, once the program is held inside its fsync.
    std::string temp;
    char buf[4096];
    for (ssize_t n; (n = ::read(held[0], buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      temp.append(buf, static_cast<std::size_t>(n));
    }
    ::close(held[0]);
    ASSERT_FALSE(temp.empty()) << "the program ended before writing its report";
    const fs::path reports = home / ".cache/quillimare/reports";
    EXPECT_EQ(fs::path(temp).parent_path(), reports);
    EXPECT_TRUE(temp.ends_with(".json." + std::to_string(pid))) << temp;
    ASSERT_TRUE(fs::exists(temp));

    ASSERT_EQ(::kill(pid, c.sig), 0);
    const int status = wait_status(pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), c.sig);
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_TRUE(fs::is_empty(reports));
  }
}

}  // namespace
}  // namespace qm
