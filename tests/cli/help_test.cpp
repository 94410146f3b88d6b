#include "cli/help.h"

#include <gtest/gtest.h>

#include "kit/env.h"
#include "kit/golden.h"
#include "kit/run.h"

namespace qm::cli::help {
namespace {

// The page the words give, as kept in its golden file.
std::string golden(const std::string& name, const std::vector<std::string>& words) {
  return kit::golden("tests/cli/golden/help_" + name + ".txt", build_help(words) + "\n");
}

TEST(Help, PageChosenFromTheWords) {
  const std::string top = golden("top", {"--help"}), summary = golden("summary", {"summary", "--help"}),
                    harness = golden("harness", {"harness", "--help"});
  struct Case {
    std::vector<std::string> args;
    const std::string* page;
  } cases[] = {
      {{"--help"}, &top},
      {{"today", "--help"}, &top},
      {{"summary", "--help"}, &summary},
      {{"harness", "--help"}, &harness},
      {{"harness", "codex", "--help"}, &top},
      {{"summary", "--since", "2024-01-01", "--help"}, &summary},
      {{"summary", "--agents", "claude", "-h"}, &summary},
      {{"summary", "--since=harness", "--help"}, &summary},
      {{"/usr/local/bin/qilm", "summary", "--help"}, &summary},
      {{"quillimare.exe", "harness", "--help"}, &harness},
  };
  for (const auto& c : cases) EXPECT_EQ(build_help(c.args) + "\n", *c.page) << ::testing::PrintToString(c.args);
}

TEST(Help, BinaryPrintsThePageWithOneLineFeed) {
  kit::TempDir home;
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  auto r = kit::run({QM_BINARY, "summary", "--bogus", "--help"}, opts);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, golden("summary", {"summary", "--help"}));
  EXPECT_EQ(r.err, "");
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_NE(r.out[r.out.size() - 2], '\n');
}

TEST(Help, OptionTableWidthIsTheLongestNameInCharacters) {
  EXPECT_EQ(format_option_table({{"é", "x"}, {"ab", "y"}}, 0), "  é  x\n  ab y");
  EXPECT_EQ(format_option_table({{"a", "x"}}, 3), "  a   x");
}

}  // namespace
}  // namespace qm::cli::help
