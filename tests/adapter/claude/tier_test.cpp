// The rate-limit tier from Claude Code's ".claude.json" files.
#include "adapter/claude/tier.h"

#include <gtest/gtest.h>

#include "kit/env.h"

namespace qm::claude {
namespace {

TEST(ClaudeRateLimitTier, FirstFileThatNamesOne) {
  kit::TempDir dir;
  kit::EnvGuard env;
  env.set("HOME", (dir / "home").string()).unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  env.set("CLAUDE_CONFIG_DIR", " " + (dir / "a").string() + " ,," + (dir / "b").string() + "," + (dir / "c").string());
  kit::write_file(dir / "a/.claude.json", R"({"projects":{}})");  // no account
  kit::write_file(dir / "b/.claude.json", R"({"oauthAccount":{"userRateLimitTier":"","organizationType":7}})");
  kit::write_file(dir / "c/.claude.json", "{not json");
  kit::write_file(dir / "home/.claude.json",
                  R"({"oauthAccount":{"organizationType":"claude_max","organizationRateLimitTier":"default_claude_max_20x"}})");
  EXPECT_EQ(read_rate_limit_tier(), "default_claude_max_20x");

  kit::write_file(dir / "b/.claude.json", R"({"oauthAccount":{"userRateLimitTier":"default_claude_pro"}})");
  EXPECT_EQ(read_rate_limit_tier(), "default_claude_pro");

  env.unset("CLAUDE_CONFIG_DIR");
  kit::write_file(dir / "home/.claude.json", R"({"oauthAccount":{"organizationType":"claude_team"}})");
  EXPECT_EQ(read_rate_limit_tier(), "claude_team");
  std::filesystem::remove(dir / "home/.claude.json");
  EXPECT_FALSE(read_rate_limit_tier());
}

}  // namespace
}  // namespace qm::claude
