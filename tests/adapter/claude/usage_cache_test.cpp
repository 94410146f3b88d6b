// The shared usage cache file: lenient reading member by member, and the private rewrite.
#include "adapter/claude/usage_cache.h"

#include <gtest/gtest.h>

#include "adapter/claude/account_home.h"

namespace qm::claude::usage_cache {
namespace {

TEST(ClaudeUsageCacheFile, ReadsEachMemberOnItsOwn) {
  const std::pair<std::string, ClaudeUsageCache> cases[] = {
      {R"({"blockedUntil":1,"body":"b","fetchedAt":2,"renewBlockedUntil":3})", {1, "b", 2, 3}},
      {R"({"blockedUntil":1.5,"body":7,"fetchedAt":"2","renewBlockedUntil":null,"extra":1})", {}},
      {R"({"blockedUntil":9223372036854775808,"body":"b"})", {{}, "b", {}, {}}},
      {R"([1])", {}},
      {"not json", {}},
  };
  for (const auto& [text, cache] : cases) EXPECT_EQ(parse_usage_cache(text), cache) << text;
}

TEST(ClaudeUsageCacheFile, WrittenWholeAndPrivateIntoANewDirectory) {
  testing::AccountHome h;
  h.env.set("QUILLIMARE_CACHE_DIR", (h.home / "deep/er/cache").string());
  ClaudeUsageCache cache{{}, "{\"x\":1}", 5, {}};
  write_usage_cache(cache);
  auto path = h.home / "deep/er/cache/claude-usage.json";
  EXPECT_EQ(kit::read_file(path), R"({"blockedUntil":null,"body":"{\"x\":1}","fetchedAt":5,"renewBlockedUntil":null})");
  EXPECT_EQ(testing::file_mode(path), 0600u);
  EXPECT_EQ(read_usage_cache(), cache);

  // An empty setting is no setting: the user's cache directory is used.
  h.env.set("QUILLIMARE_CACHE_DIR", "");
  EXPECT_EQ(usage_cache_path(), h.home / ".cache/quillimare/claude-usage.json");
  h.env.unset("QUILLIMARE_CACHE_DIR").set("HOME", "");
  EXPECT_FALSE(usage_cache_path());
  write_usage_cache(cache);  // no path: nothing happens
  EXPECT_EQ(read_usage_cache(), ClaudeUsageCache{});
}

}  // namespace
}  // namespace qm::claude::usage_cache
