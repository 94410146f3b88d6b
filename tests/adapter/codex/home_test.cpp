// Codex homes, session directories, rollout file lists and the service tier.
#include "adapter/codex/home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kit/env.h"

namespace qm::codex::home {
namespace {

namespace fs = std::filesystem;

TEST(CodexHomes, FromCodexHomeOrTheHomeDirectory) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string());
  fs::create_directories(home / ".codex/sessions");

  env.set("CODEX_HOME", " /a , ,/b,");
  EXPECT_EQ(codex_home_dirs(), (std::vector<fs::path>{"/a", "/b"}));
  for (const char* none : {"", ",", " , "}) {
    env.set("CODEX_HOME", none);
    EXPECT_EQ(codex_home_dirs(), std::vector<fs::path>{}) << none;  // no fallback to ~/.codex
  }
  env.set("CODEX_HOME", "\xff\xfe");  // not Unicode: as if unset
  EXPECT_EQ(codex_home_dirs(), std::vector<fs::path>{home / ".codex"});
  env.unset("CODEX_HOME");
  EXPECT_EQ(codex_home_dirs(), std::vector<fs::path>{home / ".codex"});

  env.unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  EXPECT_EQ(session_dirs().error(), "home directory is not set");
  EXPECT_EQ(configured_service_tier(), CodexServiceTier::Standard);
}

TEST(CodexHomes, SessionDirectoriesOnceAndRolloutFilesDeduplicated) {
  kit::TempDir t;
  kit::EnvGuard env;
  for (auto rel : {"h1/sessions/2025/10/01/rollout-a.jsonl", "h1/archived_sessions/2025/10/01/rollout-a.jsonl",
                   "h1/archived_sessions/rollout-a.jsonl", "h1/sessions/a/b.jsonl", "h1/sessions/a-b.jsonl",
                   "h1/sessions/a.JSONL", "h1/sessions/.jsonl", "h2/sessions/2025/10/01/rollout-a.jsonl"})
    kit::write_file(t / rel, "{}\n");
  kit::write_file(t / "h3/sessions", "a file, not a directory");
  env.set("CODEX_HOME", (t / "h1").string() + "," + (t / "h1/").string() + "," + (t / "h2").string() + "," +
                            (t / "h3").string() + "," + (t / "missing").string());

  auto dirs = session_dirs();
  ASSERT_TRUE(dirs);
  ASSERT_EQ(dirs->size(), 3u);
  EXPECT_EQ((*dirs)[0].dir, t / "h1/sessions");
  EXPECT_EQ((*dirs)[1].dir, t / "h1/archived_sessions");
  EXPECT_EQ((*dirs)[2].dir, t / "h2/sessions");
  EXPECT_EQ((*dirs)[2].home, t / "h2");

  // Component order: a/b.jsonl before a-b.jsonl, unlike byte order.
  EXPECT_EQ(rollout_files(t / "h1/sessions"),
            (std::vector<fs::path>{t / "h1/sessions/2025/10/01/rollout-a.jsonl", t / "h1/sessions/a/b.jsonl",
                                   t / "h1/sessions/a-b.jsonl"}));

  auto unique = unique_rollout_files(*dirs);
  ASSERT_EQ(unique.size(), 3u);
  EXPECT_EQ(unique[0].files.size(), 3u);
  // The archived copy under the same relative path is dropped; another path is kept.
  EXPECT_EQ(unique[1].files, std::vector<fs::path>{t / "h1/archived_sessions/rollout-a.jsonl"});
  // Another home is never merged here.
  EXPECT_EQ(unique[2].files, std::vector<fs::path>{t / "h2/sessions/2025/10/01/rollout-a.jsonl"});
}

TEST(CodexServiceTier, ConfigLines) {
  struct Case {
    std::string toml;
    bool fast;
  } cases[] = {
      {"service_tier = \"fast\" # comment\n", true},
      {"  service_tier='priority'\n", true},
      {"service_tier = \"flex\"\nmodel = \"o3\"\n[profiles.x]\nservice_tier = 'priority'\n", true},
      {"SERVICE_TIER = \"fast\"\n", false},
      {"service_tier = \"Fast\"\n", false},
      {"# service_tier = \"fast\"\n", false},
      {"service_tier\n", false},
      {"service_tier = \"\"fast'\"\r\n", true},
      {"service_tier_x = \"fast\"\n", false},
      {"service_tier = fast = x\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(config_sets_fast_tier(c.toml), c.fast) << c.toml;

  kit::TempDir t;
  kit::EnvGuard env;
  kit::write_file(t / "a/config.toml", "service_tier = \"flex\"\n");
  kit::write_file(t / "b/config.toml", "\xff service_tier = \"fast\"\n");  // not UTF-8: passed over
  kit::write_file(t / "c/config.toml", "service_tier = \"priority\"\n");
  fs::create_directory(t / "e");
  ASSERT_EQ(::mkfifo((t / "e/config.toml").c_str(), 0600), 0);  // not waited on
  env.set("CODEX_HOME", (t / "a").string() + "," + (t / "b").string() + "," + (t / "e").string());
  EXPECT_EQ(configured_service_tier(), CodexServiceTier::Standard);
  env.set("CODEX_HOME", (t / "a").string() + "," + (t / "b").string() + "," + (t / "c").string());
  EXPECT_EQ(configured_service_tier(), CodexServiceTier::Fast);
}

}  // namespace
}  // namespace qm::codex::home
