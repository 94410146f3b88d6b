// Roots of the readers: list variables, defaults below the home, de-duplication.
#include "reader/roots.h"

#include <gtest/gtest.h>

#include "kit/env.h"

namespace qm::reader {
namespace {

using Paths = std::vector<fs::path>;

TEST(ReaderRoots, ListVariableElseTheDefaultBelowTheHome) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string());

  env.set("QM_TEST_DIRS", " /a , ,/b,");
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x/y", NoHome::Fails), (Paths{"/a", "/b"}));
  env.set("QM_TEST_DIRS", " , ");  // set but empty: no roots, and no default either
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x/y", NoHome::Fails), Paths{});
  env.set("QM_TEST_DIRS", "\xff/a");  // not UTF-8: as if unset
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x/y", NoHome::Fails), Paths{home / ".x/y"});
  env.unset("QM_TEST_DIRS");
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x/y", NoHome::Fails), Paths{home / ".x/y"});
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", {".x/a", ".x/b"}, NoHome::Fails), (Paths{home / ".x/a", home / ".x/b"}));

  env.unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x", NoHome::Fails).error(), "home directory is not set");
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", ".x", NoHome::Empty), Paths{});
  EXPECT_EQ(candidate_roots("QM_TEST_DIRS", {".x", ".y"}, NoHome::Fails).error(), "home directory is not set");
  EXPECT_EQ(below_home(".x").error(), "home directory is not set");
  EXPECT_EQ(xdg_data_home(), std::nullopt);
}

TEST(ReaderRoots, ListedDirectoriesUnlessTheVariableIsBlank) {
  kit::TempDir t;
  kit::EnvGuard env;
  fs::create_directories(t / "a");
  env.set("QM_TEST_DIRS", (t / "a").string() + ", " + (t / "a/").string() + "," + (t / "missing").string());
  EXPECT_EQ(listed_dirs("QM_TEST_DIRS"), Paths{t / "a"});
  env.set("QM_TEST_DIRS", ",");  // not blank: names nothing
  EXPECT_EQ(listed_dirs("QM_TEST_DIRS"), Paths{});
  env.set("QM_TEST_DIRS", " \t");
  EXPECT_EQ(listed_dirs("QM_TEST_DIRS"), std::nullopt);
  env.unset("QM_TEST_DIRS");
  EXPECT_EQ(listed_dirs("QM_TEST_DIRS"), std::nullopt);
}

TEST(ReaderRoots, SinglePathVariablesAndTheDataHome) {
  kit::EnvGuard env;
  env.set("HOME", "/home/u");
  env.set("QM_TEST_PATH", "  /p/q ");
  EXPECT_EQ(env_path("QM_TEST_PATH"), fs::path("/p/q"));
  env.set("QM_TEST_PATH", "   ");
  EXPECT_EQ(env_path("QM_TEST_PATH"), std::nullopt);

  env.set("XDG_DATA_HOME", "/data");
  EXPECT_EQ(xdg_data_home(), fs::path("/data"));
  env.set("XDG_DATA_HOME", "relative/data");  // only an absolute path counts
  EXPECT_EQ(xdg_data_home(), fs::path("/home/u/.local/share"));
}

TEST(ReaderRoots, ExistingDirectoriesOnceEach) {
  kit::TempDir t;
  fs::create_directories(t / "a");
  fs::create_directories(t / "b");
  kit::write_file(t / "file", "x");
  fs::create_directory_symlink(t / "a", t / "link");
  fs::create_directory_symlink(t / "missing", t / "dangling");
  // Equal as paths ("a/" is "a"), or one directory reached through a link or another
  // spelling: the first as written stays.
  EXPECT_EQ(existing_dirs({t / "link", t / "missing", t / "file", t / "a/", t / "b", t / "a", t / "b/../a", t / "b",
                           t / "dangling"}),
            (Paths{t / "link", t / "b"}));
}

TEST(ReaderRoots, CanonicalFilesOnceEach) {
  kit::TempDir t;
  kit::write_file(t / "d/one.db", "x");
  kit::write_file(t / "two.db", "x");
  fs::create_symlink(t / "d/one.db", t / "alias.db");
  fs::create_directories(t / "dir.db");
  const fs::path real = fs::canonical(t / "d/one.db");
  EXPECT_EQ(canonical_files({t / "alias.db", t / "d/../d/one.db", t / "missing.db", t / "dir.db", t / "two.db"}),
            (Paths{real, fs::canonical(t / "two.db")}));
}

}  // namespace
}  // namespace qm::reader
