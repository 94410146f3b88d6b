#include "progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "kit/env.h"

namespace qm::progress {
namespace {

using enum AgentLoadState;

TEST(Progress, Lines) {
  EXPECT_EQ(format_line({{AgentKind::Claude, Loading}, {AgentKind::Codex, Loading}, {AgentKind::Cursor, Done}}, {}),
            "Loading usage logs (1/3) :: Claude, Codex");
  EXPECT_EQ(format_line({{AgentKind::Claude, Done}, {AgentKind::Codex, Skipped}, {AgentKind::Pi, Done}}, {}),
            "Loading usage logs (3/3)");
  EXPECT_EQ(format_line({}, std::string("Refreshing model pricing from LiteLLM...")),
            "Refreshing model pricing from LiteLLM...");
  EXPECT_EQ(format_line({{AgentKind::Pi, Loading}}, std::string("m")), "m :: Loading usage logs (0/1) :: pi-agent");
  EXPECT_EQ(format_line({}, {}), "");
}

// Captures what the spinner writes on standard error.
class StderrCapture {
 public:
  StderrCapture() {
    path_ = dir_ / "err";
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string finish() {
    ::dup2(saved_, 2);
    ::close(saved_);
    return kit::read_file(path_);
  }

 private:
  kit::TempDir dir_;
  std::filesystem::path path_;
  int saved_;
};

TEST(Progress, DrawsFramesAndErasesOnlyWhenDrawn) {
  StderrCapture quiet;
  {
    auto h = start_spinner(true);
    stop_spinner(h);
    stop_spinner(h);
  }
  EXPECT_EQ(quiet.finish(), "");

  StderrCapture cap;
  auto h = start_spinner(true);
  ASSERT_TRUE(h.active());
  mark_loading(h, AgentKind::Codex);
  auto shared = start_spinner(true);  // same thread: joins the running spinner
  mark_done(shared, AgentKind::Codex);
  EXPECT_EQ(render_line(h), "Loading usage logs (1/1)");
  // Wait (bounded) until a frame with the line has been drawn.
  for (int i = 0; i < 500 && kit::read_file(cap.path()).find("(1/1)") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop_spinner(shared);  // not the owner: no effect
  EXPECT_EQ(render_line(h), "Loading usage logs (1/1)");
  stop_spinner(h);
  std::string err = cap.finish();
  ASSERT_GE(err.size(), 10u);
  EXPECT_NE(err.find("\r\x1b[K\x1b[?25l\x1b[36m"), std::string::npos);
  EXPECT_NE(err.find("\x1b[39m Loading usage logs (1/1)"), std::string::npos);
  EXPECT_EQ(err.substr(err.size() - 10), "\r\x1b[K\x1b[?25h");

  auto off = start_spinner(false);
  mark_loading(off, AgentKind::Claude);
  EXPECT_EQ(render_line(off), "");
}

}  // namespace
}  // namespace qm::progress
