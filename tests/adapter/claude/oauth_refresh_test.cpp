// Token renewal: the block, the decision taken under the two lock directories, the request,
// and the write-back, against a loopback token endpoint and a clock that never waits.
#include "adapter/claude/oauth_refresh.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "adapter/claude/account_home.h"
#include "date_utils.h"
#include "json/strict.h"
#include "kit/fake_clock.h"

namespace qm::claude::oauth_refresh {
namespace {

using testing::AccountHome;
using testing::credentials_text;
using testing::token_reply;
using usage_cache::ClaudeUsageCache;

constexpr const char* kTokenPath = "/v1/oauth/token";

// The credentials as a document, to change and to compare with what is stored.
nlohmann::json credentials_document(const std::string& access, std::optional<std::int64_t> expires_at) {
  return nlohmann::json::parse(credentials_text(access, expires_at));
}
nlohmann::json stored_credentials(const AccountHome& h) { return nlohmann::json::parse(h.stored_credentials()); }

// Sets a path's modification time `seconds` before the real now.
void age(const std::filesystem::path& path, int seconds) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

std::chrono::milliseconds total(const std::vector<std::chrono::milliseconds>& sleeps) {
  std::chrono::milliseconds sum{0};
  for (auto s : sleeps) sum += s;
  return sum;
}

class Refresh : public ::testing::Test {
 protected:
  Refresh() { fake.wall_ms = now; }

  std::optional<credentials::ClaudeCredentials> refresh(std::string_view token_in_use, bool forced = false,
                                                        bool force_switch = false) {
    return refresh_tokens(now, force_switch, cache, token_in_use, forced, fake.clock());
  }
  std::filesystem::path first_lock() const { return h.home / ".claude/.oauth_refresh.lock"; }
  std::filesystem::path second_lock() const { return h.home / ".claude.lock"; }

  AccountHome h;
  const std::int64_t now = date_utils::now_ms();
  kit::FakeClock fake;
  ClaudeUsageCache cache;
};

TEST_F(Refresh, RenewalBlockStopsEverythingUnlessForced) {
  h.write_credentials(credentials_text("old", now - 1));
  h.platform.on(kTokenPath, token_reply("new"));
  cache.renew_blocked_until = now + 1;
  EXPECT_FALSE(refresh("old", true));
  EXPECT_TRUE(h.token_requests().empty());
  EXPECT_FALSE(std::filesystem::exists(h.cache_path()));

  auto renewed = refresh("old", true, /*force_switch=*/true);
  ASSERT_TRUE(renewed);
  EXPECT_EQ(renewed->access_token, "new");
  EXPECT_FALSE(cache.renew_blocked_until);
  EXPECT_EQ(h.stored_cache(), cache);
}

TEST_F(Refresh, RenewsNearExpiryOrWhenForced) {
  struct Case {
    std::int64_t expires_in_ms;
    bool forced;
    bool renews;
  };
  for (const Case c : {Case{240'000, false, true}, Case{360'000, false, false}, Case{360'000, true, true}}) {
    SCOPED_TRACE(c.expires_in_ms);
    AccountHome h2;
    h2.platform.on(kTokenPath, token_reply("new", "refresh-2"));
    auto stored = credentials_document("old", now + c.expires_in_ms);
    h2.write_credentials(stored.dump());
    ::chmod(h2.credentials_path().c_str(), 0644);

    auto result = refresh_tokens(now, false, cache, "old", c.forced, fake.clock());
    ASSERT_TRUE(result);
    if (!c.renews) {
      EXPECT_EQ(result->access_token, "old");
      EXPECT_TRUE(h2.token_requests().empty());
      EXPECT_EQ(stored_credentials(h2), stored);
      continue;
    }
    EXPECT_EQ(*result, (credentials::ClaudeCredentials{"new", now + 28'800'000, "refresh-2",
                                                       {"user:inference", "user:profile"}, {}}));
    auto requests = h2.token_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body,
              R"({"client_id":"5e0f3a7c-2b91-4d6e-a8c4-71f9d03b6e25","grant_type":"refresh_token",)"
              R"("refresh_token":"refresh-1","scope":"user:inference user:profile"})");
    std::vector<std::string> names;
    for (const auto& [name, value] : requests[0].headers)
      if (name != "Host" && name != "Content-Length") names.push_back(name + ": " + value);
    EXPECT_EQ(names, (std::vector<std::string>{"Content-Type: application/json", "Accept: application/json",
                                               "User-Agent: claude-code/20.0.21"}));

    // Everything else in the document stays as it was; the file is private again.
    auto expected = stored;
    expected["claudeAiOauth"]["accessToken"] = "new";
    expected["claudeAiOauth"]["refreshToken"] = "refresh-2";
    expected["claudeAiOauth"]["expiresAt"] = now + 28'800'000;
    EXPECT_EQ(stored_credentials(h2), expected);
    EXPECT_EQ(testing::file_mode(h2.credentials_path()), 0600u);
    EXPECT_FALSE(std::filesystem::exists(h2.home / ".claude/.oauth_refresh.lock"));
    EXPECT_FALSE(std::filesystem::exists(h2.home / ".claude.lock"));
  }
}

TEST_F(Refresh, ReplyShapes) {
  auto document = credentials_document("old", now - 1);
  nlohmann::json with_client = document;
  with_client["claudeAiOauth"]["clientId"] = "own-client";
  with_client["claudeAiOauth"].erase("scopes");

  // Kept refresh token, new scopes and refresh expiry; the stored client id is sent.
  h.write_credentials(with_client.dump());
  h.platform.on(kTokenPath, kit::ScriptedResponse{200, {}, R"({"access_token":"new","expires_in":60,
      "refresh_token":"","refresh_token_expires_in":100,"scope":" a  b\tc "})"});
  auto renewed = refresh("old");
  ASSERT_TRUE(renewed);
  EXPECT_EQ(*renewed, (credentials::ClaudeCredentials{"new", now + 60'000, "refresh-1", {"a", "b", "c"}, "own-client"}));
  EXPECT_EQ(h.token_requests().back().body,
            R"({"client_id":"own-client","grant_type":"refresh_token","refresh_token":"refresh-1"})");
  auto oauth = stored_credentials(h)["claudeAiOauth"];
  EXPECT_EQ(oauth["refreshToken"], "refresh-1");
  EXPECT_EQ(oauth["refreshTokenExpiresAt"], now + 100'000);
  EXPECT_EQ(oauth["scopes"], nlohmann::json({"a", "b", "c"}));

  // Replies that renew nothing block renewal for ten minutes and leave the file alone.
  const kit::ScriptedResponse failures[] = {
      {200, {}, R"({"access_token":"new"})"},
      {200, {}, R"({"access_token":"","expires_in":60})"},
      {200, {}, R"({"access_token":"new","expires_in":1.5})"},
      {200, {}, R"({"access_token":"new","expires_in":9223372036854775})"},
      {200, {}, "not json"},
      {400, {}, R"({"error":"invalid_grant"})"},
  };
  for (const auto& reply : failures) {
    SCOPED_TRACE(reply.body);
    h.write_credentials(document.dump());
    cache = {};
    h.platform.on(kTokenPath, reply);
    EXPECT_FALSE(refresh("old"));
    EXPECT_EQ(cache.renew_blocked_until, now + 600'000);
    EXPECT_EQ(h.stored_cache().renew_blocked_until, now + 600'000);
    EXPECT_EQ(stored_credentials(h), document);
  }

  // The next renewal that works lifts the block.
  h.platform.on(kTokenPath, token_reply("new"));
  ASSERT_TRUE(refresh_tokens(now + 600'000, false, cache, "old", false, fake.clock()));
  EXPECT_EQ(kit::read_file(h.cache_path()),
            R"({"blockedUntil":null,"body":null,"fetchedAt":null,"renewBlockedUntil":null})");
}

TEST_F(Refresh, RenewalKeepsTheNumbersItDoesNotKnowAsWritten) {
  auto document = [](const std::string& access, std::int64_t expires) {
    return R"({"claudeAiOauth":{"accessToken":")" + access + R"(","expiresAt":)" + std::to_string(expires) +
           R"(,"rateLimitTier":123456789012345678901234567890,"refreshToken":"refresh-1",)"
           R"("scopes":["user:inference"],"weight":0.1000000000000000055511},"n":-0,"z":[1E5,-0.0]})";
  };
  kit::write_file(h.credentials_path(), document("old", now - 1));
  h.platform.on(kTokenPath, token_reply("new"));
  ASSERT_TRUE(refresh("old"));
  EXPECT_EQ(kit::read_file(h.credentials_path()), document("new", now + 28'800'000));
}

TEST_F(Refresh, TakesTokensAnotherProcessRenewed) {
  h.write_credentials(credentials_text("theirs", now + 3'600'000));
  auto result = refresh("mine", true);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "theirs");
  EXPECT_TRUE(h.token_requests().empty());

  // An expired token of theirs is no answer: it is renewed.
  h.write_credentials(credentials_text("theirs", now));
  h.platform.on(kTokenPath, token_reply("new"));
  ASSERT_TRUE(refresh("mine"));
  EXPECT_EQ(h.token_requests().size(), 1u);
}

TEST_F(Refresh, StaleLockIsTakenOverAtOnce) {
  // A lock left as a file (empty, or with a note in it) is as stale as a directory.
  auto directory = [](const std::filesystem::path& p) { std::filesystem::create_directory(p); };
  auto empty_file = [](const std::filesystem::path& p) { kit::write_file(p, ""); };
  auto note_file = [](const std::filesystem::path& p) { kit::write_file(p, "pid 1"); };
  const std::pair<const char*, std::function<void(const std::filesystem::path&)>> kinds[] = {
      {"directory", directory}, {"empty file", empty_file}, {"file", note_file}};
  h.platform.on(kTokenPath, token_reply("new"));
  std::size_t requests = 0;
  for (const auto& lock : {first_lock(), second_lock()})
    for (const auto& [kind, make] : kinds) {
      SCOPED_TRACE(lock.string() + ", " + kind);
      h.write_credentials(credentials_text("old", now - 1));
      fake.sleeps.clear();
      make(lock);
      age(lock, 61);
      auto result = refresh("old");
      ASSERT_TRUE(result);
      EXPECT_EQ(result->access_token, "new");
      EXPECT_EQ(h.token_requests().size(), ++requests);
      EXPECT_TRUE(fake.sleeps.empty());
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(lock)));
    }
}

TEST_F(Refresh, HeldLocksAreWaitedForThenGivenUpWithoutABlock) {
  // ~/.claude reached through a link: the second lock sits beside the real directory.
  std::filesystem::rename(h.home / ".claude", h.home / "real-claude");
  std::filesystem::create_directory_symlink(h.home / "real-claude", h.home / ".claude");
  h.write_credentials(credentials_text("old", now - 1));
  h.platform.on(kTokenPath, token_reply("new"));

  for (auto lock : {first_lock(), h.home / "real-claude.lock"}) {
    SCOPED_TRACE(lock.string());
    fake.sleeps.clear();
    std::filesystem::create_directory(lock);
    age(lock, 30);
    EXPECT_FALSE(refresh("old"));
    ASSERT_FALSE(fake.sleeps.empty());
    for (auto s : fake.sleeps) EXPECT_EQ(s, std::chrono::milliseconds(250));
    EXPECT_GE(total(fake.sleeps), std::chrono::milliseconds(10'000));
    EXPECT_LE(total(fake.sleeps), std::chrono::milliseconds(10'250));
    EXPECT_TRUE(h.token_requests().empty());
    // No request of ours failed: further runs may still renew.
    EXPECT_FALSE(cache.renew_blocked_until);
    EXPECT_FALSE(std::filesystem::exists(h.cache_path()));
    EXPECT_TRUE(std::filesystem::exists(lock));  // someone else's
    std::filesystem::remove(lock);
  }
  EXPECT_FALSE(std::filesystem::exists(first_lock()));

  // Given up, a token renewed meanwhile by the holder is still taken.
  std::filesystem::create_directory(first_lock());
  h.write_credentials(credentials_text("theirs", now + 3'600'000));
  auto result = refresh("old");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "theirs");
}

TEST_F(Refresh, LocksThatAreFreshOrCannotBeRemovedAreWaitedOut) {
  h.write_credentials(credentials_text("old", now - 1));
  h.platform.on(kTokenPath, token_reply("new"));
  auto fresh_file = [&] {
    kit::write_file(first_lock(), "");
    age(first_lock(), 30);
  };
  auto stale_full_directory = [&] {
    kit::write_file(first_lock() / "owner", "pid 1");
    age(first_lock(), 120);
  };
  for (const auto& make : {std::function<void()>(fresh_file), std::function<void()>(stale_full_directory)}) {
    fake.sleeps.clear();
    make();
    EXPECT_FALSE(refresh("old"));
    EXPECT_GE(total(fake.sleeps), std::chrono::milliseconds(10'000));
    EXPECT_LE(total(fake.sleeps), std::chrono::milliseconds(10'250));
    EXPECT_TRUE(h.token_requests().empty());
    EXPECT_TRUE(std::filesystem::exists(first_lock()));
    std::filesystem::remove_all(first_lock());
  }
}

TEST_F(Refresh, RenewedTokensSurviveAFailedReRead) {
  kit::FakeSecurity security;
  security.set_attributes(kit::keychain_listing("alice"));
  auto stored = credentials_document("old", now - 1);
  security.set_password_for_call(1, stored.dump());
  security.set_password_for_call(2, std::nullopt);  // the re-read after the request finds nothing
  h.use_keychain(security);
  h.platform.on(kTokenPath, token_reply("new", "refresh-2"));

  auto result = refresh("old");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "new");
  auto added = security.added_lines();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_TRUE(added[0].starts_with("add-generic-password -U -a \"alice\" -s \"Claude Code-credentials\" -X \""));
  auto written = nlohmann::json::parse(kit::added_password(added[0]).value_or(""));
  EXPECT_EQ(written["claudeAiOauth"]["accessToken"], "new");
  EXPECT_EQ(written["claudeAiOauth"]["refreshToken"], "refresh-2");
  EXPECT_EQ(written["mcpOAuth"], stored["mcpOAuth"]);
}

TEST_F(Refresh, TokensRotatedDuringTheRequestWin) {
  kit::FakeSecurity security;
  security.set_attributes(kit::keychain_listing("alice"));
  security.set_password_for_call(1, credentials_text("old", now - 1));
  security.set_password_for_call(2, credentials_text("rotated", now + 3'600'000, "refresh-9"));
  h.use_keychain(security);
  h.platform.on(kTokenPath, token_reply("new", "refresh-2"));

  auto result = refresh("old");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "rotated");
  EXPECT_TRUE(security.added_lines().empty());
}

TEST_F(Refresh, ConcurrentRenewalsMakeOneRequest) {
  h.write_credentials(credentials_text("old", now - 1));
  auto slow = token_reply("new", "refresh-2");
  slow.delay = std::chrono::milliseconds(500);
  h.platform.on(kTokenPath, slow);

  std::optional<credentials::ClaudeCredentials> results[2];
  std::vector<std::thread> threads;
  for (auto& result : results)
    threads.emplace_back([&result, this] {
      ClaudeUsageCache own;
      result = refresh_tokens(now, false, own, "old", false, clock::system());
    });
  for (auto& t : threads) t.join();
  for (const auto& result : results) {
    ASSERT_TRUE(result);
    EXPECT_EQ(result->access_token, "new");
  }
  EXPECT_EQ(h.token_requests().size(), 1u);
}

TEST(OAuthRefresh, ExpiryFromSeconds) {
  json::StrictParser parser;
  auto reply = parser.parse_copy(R"({"a":60,"b":-1,"c":1.0,"d":"60","e":9223372036854775807})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(expiry_from_seconds(*reply, 1000, "a"), 61'000);
  EXPECT_EQ(expiry_from_seconds(*reply, 1000, "b"), 0);
  for (const char* key : {"c", "d", "e", "missing"}) EXPECT_FALSE(expiry_from_seconds(*reply, 1000, key)) << key;
  EXPECT_FALSE(expiry_from_seconds(*parser.parse_copy(R"({"a":1})"), INT64_MAX, "a"));
}

}  // namespace
}  // namespace qm::claude::oauth_refresh
