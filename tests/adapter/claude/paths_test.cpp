// Where the Claude Code logs are: CLAUDE_CONFIG_DIR, XDG_CONFIG_HOME and the home directory.
#include "adapter/claude/paths.h"

#include <gtest/gtest.h>

#include "kit/env.h"
#include "util.h"

namespace qm::claude {
namespace {

namespace fs = std::filesystem;

struct Home {
  kit::TempDir dir;
  kit::EnvGuard env;
  Home() {
    env.set("HOME", dir.path().string()).unset("CLAUDE_CONFIG_DIR").unset("XDG_CONFIG_HOME");
    env.unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  }
  fs::path with_projects(const std::string& rel) {
    fs::create_directories(dir / rel / "projects");
    return dir / rel;
  }
};

std::vector<std::string> texts(const std::vector<fs::path>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(p.lexically_normal().string());
  return out;
}

TEST(ClaudePaths, ConfigDirListTrimsSkipsAndTakesEachDirectoryOnce) {
  Home h;
  const auto a = h.with_projects("a/.claude");
  h.env.set("CLAUDE_CONFIG_DIR", std::string("  ").append(a.string()) + " ,, " + (a / "projects").string() + "," +
                                     a.string() + "/./," + (h.dir / "plain").string());
  auto dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_EQ(texts(*dirs), (std::vector<std::string>{a.string()}));
}

TEST(ClaudePaths, ConfigDirTildeAndLinks) {
  Home h;
  fs::create_directories(h.dir / "projects");
  const auto b = h.with_projects("b");
  fs::create_directory_symlink(b, h.dir / "link");
  h.env.set("CLAUDE_CONFIG_DIR", "~,~/link");
  auto dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_EQ(texts(*dirs), (std::vector<std::string>{h.dir.path().string(), (h.dir / "link").string()}));
}

TEST(ClaudePaths, ConfigDirWithoutProjectsFailsQuotingTheValue) {
  Home h;
  fs::create_directories(h.dir / "empty");
  const std::string value = std::string(" ").append((h.dir / "empty").string()) + ",/does/not/exist ";
  h.env.set("CLAUDE_CONFIG_DIR", value);
  auto dirs = claude_data_dirs();
  ASSERT_FALSE(dirs);
  EXPECT_EQ(dirs.error(),
            "No valid Claude data directories found in CLAUDE_CONFIG_DIR. Expected each path to be a Claude config "
            "directory containing 'projects/', or the 'projects/' directory itself: " +
                value);
}

TEST(ClaudePaths, DefaultDirectories) {
  Home h;
  const auto config = h.with_projects(".config/claude");
  const auto dot = h.with_projects(".claude");
  auto dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_EQ(texts(*dirs), (std::vector<std::string>{config.string(), dot.string()}));

  // XDG_CONFIG_HOME replaces ~/.config, which is then not looked at.
  const auto xdg = h.with_projects("x/claude");
  h.env.set("XDG_CONFIG_HOME", (h.dir / "x").string());
  dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_EQ(texts(*dirs), (std::vector<std::string>{xdg.string(), dot.string()}));

  // A value that is not valid UTF-8 counts as unset.
  h.env.set("CLAUDE_CONFIG_DIR", "/nowhere\xff");
  dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_EQ(dirs->size(), 2u);

  h.env.unset("CLAUDE_CONFIG_DIR").unset("XDG_CONFIG_HOME");
  fs::remove_all(h.dir / ".claude");
  fs::remove_all(h.dir / ".config");
  dirs = claude_data_dirs();
  ASSERT_TRUE(dirs);
  EXPECT_TRUE(dirs->empty());

  h.env.unset("HOME");
  dirs = claude_data_dirs();
  ASSERT_FALSE(dirs);
  EXPECT_EQ(dirs.error(), "home directory is not set");
}

TEST(ClaudePaths, LogFilesOfAllDirectoriesSortedByPathText) {
  kit::TempDir dir;
  for (std::string rel : {"p/projects/b/2.jsonl", "p/projects/a/z/1.jsonl", "p/projects/x.JSONL", "p/projects/a/n.txt",
                          "q/projects/a/3.jsonl", "p/projects/c\xef\xbf\xbe.jsonl", "p/projects/c\xff.jsonl"})
    kit::write_file(dir / rel, "");
  UnreadFiles unread;
  auto files = collect_usage_files({dir / "q", dir / "p"}, unread);
  std::vector<std::string> rel;
  for (const auto& f : files) rel.push_back(f.lexically_relative(dir.path()).string());
  // An invalid byte sorts as U+FFFD, which comes before U+FFFE.
  EXPECT_EQ(rel, (std::vector<std::string>{"p/projects/a/z/1.jsonl", "p/projects/b/2.jsonl", "p/projects/c\xff.jsonl",
                                           "p/projects/c\xef\xbf\xbe.jsonl", "q/projects/a/3.jsonl"}));
  EXPECT_TRUE(collect_usage_files({dir / "missing"}, unread).empty());
  EXPECT_TRUE(unread.empty());
}

}  // namespace
}  // namespace qm::claude
