// Programs run to completion with their output captured, or killed past a time-out.
#include "subprocess.h"

#include <gtest/gtest.h>

namespace qm::subprocess {
namespace {

TEST(RunCaptured, FeedsInputAndCollectsBothOutputs) {
  auto run = run_captured("sh", {"-c", "cat; echo oops >&2; exit 3"}, "line\n", std::chrono::seconds(30));
  ASSERT_TRUE(run) << run.error();
  EXPECT_EQ(run->status, 3);
  EXPECT_EQ(run->out, "line\n");
  EXPECT_EQ(run->err, "oops\n");
  EXPECT_FALSE(run_captured("no-such-program-here", {}, "", std::nullopt));
}

TEST(RunCaptured, AChildThatHangsIsKilled) {
  // Stands for a keychain prompt nobody answers; the child keeps its output open.
  auto run = run_captured("sh", {"-c", "echo waiting; exec sleep 60"}, "", std::chrono::milliseconds(200));
  ASSERT_FALSE(run);
  EXPECT_EQ(run.error(), "timed out");
}

}  // namespace
}  // namespace qm::subprocess
