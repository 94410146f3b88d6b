#include "cache_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kit/env.h"
#include "private_file.h"

namespace qm {
namespace {

TEST(CacheDir, OverrideThenXdgThenHome) {
  kit::EnvGuard env;
  env.set("HOME", "/home/u").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  env.unset("QUILLIMARE_CACHE_DIR").unset("XDG_CACHE_HOME");
  EXPECT_EQ(cache_dir::cache_dir(), std::filesystem::path("/home/u/.cache/quillimare"));
  env.set("XDG_CACHE_HOME", "relative/cache");  // not absolute: ignored
  EXPECT_EQ(cache_dir::user_cache_dir(), std::filesystem::path("/home/u/.cache/quillimare"));
  env.set("XDG_CACHE_HOME", "/xdg");
  EXPECT_EQ(cache_dir::user_cache_dir(), std::filesystem::path("/xdg/quillimare"));
  env.set("QUILLIMARE_CACHE_DIR", "");  // empty counts as unset
  EXPECT_EQ(cache_dir::cache_dir(), std::filesystem::path("/xdg/quillimare"));
  env.set("QUILLIMARE_CACHE_DIR", "/own");
  EXPECT_EQ(cache_dir::cache_dir(), std::filesystem::path("/own"));
  EXPECT_EQ(cache_dir::user_cache_dir(), std::filesystem::path("/xdg/quillimare"));
  env.unset("QUILLIMARE_CACHE_DIR").unset("XDG_CACHE_HOME").set("HOME", "");
  EXPECT_FALSE(cache_dir::cache_dir());
}

TEST(PrivateFile, ReplacesWithModeSixHundredAndNeverFollowsALink) {
  kit::TempDir dir;
  auto target = dir / "f.json";
  kit::write_file(target, "old");
  ASSERT_TRUE(private_file::replace(target, "new"));
  EXPECT_EQ(kit::read_file(target), "new");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A link planted at the temporary name is removed, not written through.
  auto victim = dir / "victim";
  kit::write_file(victim, "keep");
  std::filesystem::path temp = target;
  temp += "." + std::to_string(::getpid());
  std::filesystem::create_symlink(victim, temp);
  ASSERT_TRUE(private_file::replace(target, "newer"));
  EXPECT_EQ(kit::read_file(victim), "keep");
  EXPECT_EQ(kit::read_file(target), "newer");

  EXPECT_FALSE(private_file::replace(dir / "missing-dir" / "f", "x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing-dir"));
}

TEST(PrivateFile, ThreadsOfOneProcessNeverSpoilEachOthersWrite) {
  kit::TempDir dir;
  auto target = dir / "cache.json";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::string content(4096, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i)
        if (!private_file::replace(target, content)) ++failures;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  std::string last = kit::read_file(target);
  ASSERT_EQ(last.size(), 4096u);
  EXPECT_EQ(last.find_first_not_of(last[0]), std::string::npos);
}

}  // namespace
}  // namespace qm
