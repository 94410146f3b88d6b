// Claude credentials: the keychain item through the fake `security`, the file fallback, the
// parsed fields, and the write-back to either source.
#include "adapter/claude/credentials.h"

#include <gtest/gtest.h>

#include "adapter/claude/account_home.h"
#include "adapter/claude/credentials_document.h"
#include "output.h"

namespace qm::claude::credentials {
namespace {

using testing::AccountHome;
using testing::credentials_text;

TEST(ClaudeCredentials, KeychainItemWithItsAccount) {
  AccountHome h;
  kit::FakeSecurity security;
  auto keychain_doc = nlohmann::json::parse(credentials_text("from-keychain", 1));
  security.set_password("  " + keychain_doc.dump() + "\n");
  security.set_attributes(kit::keychain_listing("alice"));
  h.use_keychain(security);
  h.write_credentials(credentials_text("from-file", 1));

  auto loaded = load_credentials();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->source, ClaudeCredentialSource(KeychainSource{"alice"}));
  EXPECT_EQ(loaded->document, keychain_doc);
  EXPECT_EQ(security.calls(), (std::vector<std::string>{"find-generic-password -s Claude Code-credentials -w",
                                                        "find-generic-password -s Claude Code-credentials"}));

  // A listing that names no usable account gives USER; without USER the file is read.
  security.set_attributes(kit::keychain_listing(""));
  loaded = load_credentials();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->source, ClaudeCredentialSource(KeychainSource{"tester"}));
  h.env.unset("USER");
  loaded = load_credentials();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->source, ClaudeCredentialSource(FileSource{h.credentials_path()}));
}

TEST(ClaudeCredentials, AccountLine) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {kit::keychain_listing("alice"), "alice"},
      {"\t\"acct\"<blob>=\"bob smith\"\r\n", "bob smith"},
      {kit::keychain_listing(""), std::nullopt},
      {kit::keychain_listing("al\"ice"), std::nullopt},
      {"    \"acct\"<blob>=<NULL>\n", std::nullopt},
      {"    \"acct\"<blob>=0x616C  \"al\"\n", std::nullopt},
      {"    \"acct\"<blob>=\"alice\" \n", std::nullopt},
      // Only the first account line counts.
      {"\"acct\"<blob>=\"\"\n\"acct\"<blob>=\"bob\"\n", std::nullopt},
      {"    \"svce\"<blob>=\"Claude Code-credentials\"\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [listing, account] : cases) EXPECT_EQ(account_from_attributes(listing), account) << listing;
}

TEST(ClaudeCredentials, FallsBackToTheFileQuietly) {
  AccountHome h;
  kit::FakeSecurity security;
  security.set_attributes(kit::keychain_listing("alice"));
  const std::optional<std::string> unusable_passwords[] = {
      std::nullopt,            // no such item: status 44
      "sk-ant-bare-token",     // not JSON
      "[1,2]",                 // not an object
      "{\"claudeAiOauth\":\xff}",  // not UTF-8
  };
  h.write_credentials(credentials_text("from-file", 1));
  for (const auto& password : unusable_passwords) {
    security.set_password(password);
    h.use_keychain(security);
    auto loaded = load_credentials();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->source, ClaudeCredentialSource(FileSource{h.credentials_path()}));
    EXPECT_EQ(parse_oauth_credentials(loaded->document)->access_token, "from-file");
  }

  // No tool on PATH, no file: nothing, and nothing said.
  h.env.set("PATH", (h.home / "no-programs").string());
  std::filesystem::remove(h.credentials_path());
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(load_credentials());
  kit::write_file(h.credentials_path(), "{\"claudeAiOauth\":");
  EXPECT_FALSE(load_credentials());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(ClaudeCredentials, ParsedFields) {
  auto parsed = [](const char* text) { return parse_oauth_credentials(*parse_json_object(text)); };
  auto full = parsed(R"({"claudeAiOauth":{"accessToken":"a","expiresAt":1760000000000,"refreshToken":"r",
                        "scopes":["user:inference",7,"user:profile"],"clientId":"c"}})");
  ASSERT_TRUE(full);
  EXPECT_EQ(*full, (ClaudeCredentials{"a", 1760000000000, "r", {"user:inference", "user:profile"}, "c"}));

  auto sparse = parsed(R"({"claudeAiOauth":{"accessToken":"a","expiresAt":1.5e12,"refreshToken":5,"scopes":"x"}})");
  ASSERT_TRUE(sparse);
  EXPECT_EQ(*sparse, (ClaudeCredentials{"a", {}, {}, {}, {}}));
  EXPECT_FALSE(parsed(R"({"claudeAiOauth":{"accessToken":"a","expiresAt":9223372036854775808}})")->expires_at);
  EXPECT_EQ(parsed(R"({"claudeAiOauth":{"accessToken":"a","expiresAt":-5}})")->expires_at, -5);

  EXPECT_TRUE(parse_json_object(R"({"claudeAiOauth":{"refreshToken":"r"}})"));
  EXPECT_FALSE(parsed(R"({"claudeAiOauth":{"refreshToken":"r"}})"));
  EXPECT_FALSE(parsed(R"({"claudeAiOauth":{"accessToken":null}})"));
  EXPECT_FALSE(parsed(R"({"other":{}})"));
}

TEST(ClaudeCredentials, KeychainWriteBackLine) {
  AccountHome h;
  kit::FakeSecurity security;
  h.use_keychain(security);
  nlohmann::json document = {{"b", 1}, {"a", "é"}};
  ASSERT_TRUE(write_credentials(KeychainSource{"alice"}, document));
  auto added = security.added_lines();
  ASSERT_EQ(added.size(), 1u);
  const std::string head = "add-generic-password -U -a \"alice\" -s \"Claude Code-credentials\" -X \"";
  EXPECT_TRUE(added[0].starts_with(head)) << added[0];
  EXPECT_EQ(kit::added_password(added[0]), "{\"a\":\"é\",\"b\":1}");

  security.set_add_status(1);
  EXPECT_FALSE(write_credentials(KeychainSource{"alice"}, document));
  security.set_add_status(0);
}

TEST(ClaudeCredentials, KeychainAccountReachesTheToolAsItIs) {
  AccountHome h;
  kit::FakeSecurity security;
  h.use_keychain(security);
  const nlohmann::json document = {{"a", 1}};
  const std::string hex = "7b2261223a317d";  // {"a":1}

  // A domain account read from the item goes back to that item.
  security.set_password(document.dump());
  security.set_attributes(kit::keychain_listing("CORP\\jdoe"));
  auto loaded = load_credentials();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->source, ClaudeCredentialSource(KeychainSource{"CORP\\jdoe"}));
  ASSERT_TRUE(write_credentials(loaded->source, loaded->document));
  ASSERT_EQ(security.added_commands().size(), 1u);
  EXPECT_EQ(security.added_commands()[0].at(3), "CORP\\jdoe");

  // The tool splits its line into words, a backslash escaping the next character.
  std::size_t written = 1;
  for (const char* account : {"alice", "bob smith", "CORP\\jdoe", "a\\\\b", "trailing\\", "\\", "jörg"}) {
    SCOPED_TRACE(account);
    ASSERT_TRUE(write_credentials(KeychainSource{account}, document));
    auto commands = security.added_commands();
    ASSERT_EQ(commands.size(), ++written);
    EXPECT_EQ(commands.back(), (std::vector<std::string>{"add-generic-password", "-U", "-a", account, "-s",
                                                         "Claude Code-credentials", "-X", hex}));
  }

  // Names that would end the word or the command early are refused unwritten.
  for (const char* account : {"al\"ice", "alice\n delete-generic-password -s x", "a\rb", "a\tb", "a\x7f", "a\x01"}) {
    EXPECT_FALSE(write_credentials(KeychainSource{account}, document)) << account;
    EXPECT_FALSE(keychain_add_line(account, "{}")) << account;
  }
  EXPECT_EQ(security.added_lines().size(), written);
}

TEST(ClaudeCredentials, WriteBackKeepsNumbersAsWritten) {
  AccountHome h;
  kit::FakeSecurity security;
  h.use_keychain(security);
  // Compact with sorted keys, each text is also what is written back.
  const char* unchanged[] = {
      R"({"a":123456789012345678901234567890,"b":-123456789012345678901234567890,"c":18446744073709551616})",
      (R"({"f":[0.1000000000000000055511,-0,-0.0,0.0,1E5,2.5e-3,1e-7,1.5,1.0,100,-7,18446744073709551615,)"
       R"(-9223372036854775808,5e+0]})"),
      R"({"s":"12\"34 -5e3","t":"\\","u":[true,false,null,{"x":1e2,"y":"é"}]})",
  };
  for (const char* text : unchanged) {
    SCOPED_TRACE(text);
    auto document = parse_json_object(text);
    ASSERT_TRUE(document);
    ASSERT_TRUE(write_credentials(FileSource{h.credentials_path()}, *document));
    EXPECT_EQ(kit::read_file(h.credentials_path()), text);
    ASSERT_TRUE(write_credentials(KeychainSource{"alice"}, *document));
    EXPECT_EQ(kit::added_password(security.added_lines().back()), text);
  }
  // Keys are sorted and blanks dropped; numbers keep their text all the same.
  ASSERT_TRUE(write_credentials(FileSource{h.credentials_path()}, *parse_json_object(" { \"b\" : 1e2 , \"a\" : [ 1 , 2.50 ] } ")));
  EXPECT_EQ(kit::read_file(h.credentials_path()), R"({"a":[1,2.50],"b":1e2})");

  // Numbers held as text are read as the field rules say: only an integer that fits counts.
  auto expires = [](const char* number) {
    auto document = parse_json_object(std::string(R"({"claudeAiOauth":{"accessToken":"a","expiresAt":)") + number + "}}");
    return parse_oauth_credentials(*document)->expires_at;
  };
  EXPECT_EQ(expires("-0"), 0);
  EXPECT_EQ(expires("1760000000000"), 1760000000000);
  for (const char* number : {"123456789012345678901234567890", "1.76e12", "1760000000000.0", "-0.0"})
    EXPECT_FALSE(expires(number)) << number;
}

TEST(ClaudeCredentials, DocumentsBuiltHereAreWrittenAsBefore) {
  // Without numbers read from a text, the write-back is the library's compact text.
  nlohmann::json document = nlohmann::json::parse(credentials_text("a", 1760000000000));
  document["x"] = {240.92286, 0.1, -0.0, 1e300, 5e-324, 18446744073709551615ULL, -1, "\xff", nullptr};
  document["é"] = {{"z", 1}, {"a", nlohmann::json::array()}};
  EXPECT_EQ(document_text(document), output::compact(document));
}

TEST(ClaudeCredentials, FileWriteBackIsPrivate) {
  AccountHome h;
  h.write_credentials(credentials_text("old", 1));
  ::chmod(h.credentials_path().c_str(), 0644);
  auto document = nlohmann::json::parse(credentials_text("new", 2));
  ASSERT_TRUE(write_credentials(FileSource{h.credentials_path()}, document));
  EXPECT_EQ(kit::read_file(h.credentials_path()), document.dump());
  EXPECT_EQ(testing::file_mode(h.credentials_path()), 0600u);
  EXPECT_FALSE(write_credentials(FileSource{h.home / "missing/.credentials.json"}, document));
}

}  // namespace
}  // namespace qm::claude::credentials
