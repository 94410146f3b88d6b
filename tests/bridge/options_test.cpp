#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "PelloxShared/BridgeClient.h"
#include "PelloxShared/Paths.h"

namespace pellox {
namespace {

TEST(TimeoutWords, NumberSyntax) {
  struct Case {
    const char* word;
    std::optional<double> want;
  } cases[] = {
      {"2", 2.0},           {"0.5", 0.5},          {"1e2", 100.0},        {"-1", -1.0},          {"+3", 3.0},
      {"0x10", 16.0},       {"", std::nullopt},    {" 2", std::nullopt},  {"\t2", std::nullopt}, {"2s", std::nullopt},
      {"2 ", std::nullopt}, {"abc", std::nullopt}, {"1,5", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(BridgeClient::parseSeconds(c.word), c.want) << '"' << c.word << '"';
  EXPECT_TRUE(std::isinf(*BridgeClient::parseSeconds("inf")));
  EXPECT_TRUE(std::isnan(*BridgeClient::parseSeconds("nan")));
  EXPECT_FALSE(BridgeClient::parseSeconds(std::string("2\0", 2)));
}

TEST(Arguments, AppliedFromTheFront) {
  struct Case {
    std::vector<std::string> args;
    std::string socket;
    double connect, wait;
    std::string source;
  } cases[] = {
      {{}, "/default", 0.3, 110.0, "claude"},
      {{"--socket", "~/s"}, "~/s", 0.3, 110.0, "claude"},
      {{"--socket", "/a", "--socket", "/b"}, "/b", 0.3, 110.0, "claude"},
      {{"--socket"}, "/default", 0.3, 110.0, "claude"},
      {{"--connect-timeout", "2", "--wait-timeout", "0"}, "/default", 2.0, 0.0, "claude"},
      {{"--connect-timeout", "abc"}, "/default", 0.3, 110.0, "claude"},
      // A value that is no number is not consumed: the next word is an option again.
      {{"--connect-timeout", "--socket", "/s"}, "/s", 0.3, 110.0, "claude"},
      {{"--wait-timeout", "5", "--wait-timeout", "1e1"}, "/default", 0.3, 10.0, "claude"},
      {{"--wait-timeout"}, "/default", 0.3, 110.0, "claude"},
      {{"--source", "codex"}, "/default", 0.3, 110.0, "codex"},
      {{"--source", "CODEX"}, "/default", 0.3, 110.0, "claude"},
      {{"--source", "codex", "--source", "gemini"}, "/default", 0.3, 110.0, "claude"},
      // The word after --source is its value even when it looks like an option.
      {{"--source", "--socket", "/s"}, "/default", 0.3, 110.0, "claude"},
      {{"--help", "-v", "codex", "--socket=/x"}, "/default", 0.3, 110.0, "claude"},
  };
  for (const auto& c : cases) {
    BridgeClient::Options options{.socketPath = "/default", .parentPid = 9};
    BridgeClient::applyArguments(options, c.args);
    std::string words;
    for (const auto& a : c.args) words += a + ' ';
    EXPECT_EQ(options.socketPath, c.socket) << words;
    EXPECT_EQ(options.connectTimeout, c.connect) << words;
    EXPECT_EQ(options.decisionTimeout, c.wait) << words;
    EXPECT_EQ(options.source, c.source) << words;
    EXPECT_EQ(options.parentPid, 9) << words;
  }
}

std::optional<std::string> userDatabaseHome() {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') return std::nullopt;
  return std::string(entry->pw_dir);
}

TEST(SocketPath, EnvironmentThenDefaultUnderHome) {
  const std::string suffix = "/Library/Application Support/Pellox/run/pellox.sock";
  using Env = PelloxPaths::Environment;
  EXPECT_EQ(PelloxPaths::socketPath(Env{{"HOME", "/home/u"}}), "/home/u" + suffix);
  EXPECT_EQ(PelloxPaths::socketPath(Env{{"HOME", "/home/u/"}}), "/home/u" + suffix);
  EXPECT_EQ(PelloxPaths::socketPath(Env{{"HOME", "/"}}), suffix);
  EXPECT_EQ(PelloxPaths::socketPath(Env{{"HOME", "/home/u"}, {"PELLOX_SOCKET", ""}}), "/home/u" + suffix);
  EXPECT_EQ(PelloxPaths::socketPath(Env{{"HOME", "/home/u"}, {"PELLOX_SOCKET", "~/x.sock"}}), "~/x.sock");

  // No usable HOME: the user database decides, and never a relative "~/" path.
  for (const Env& env : {Env{}, Env{{"HOME", ""}}, Env{{"HOME", "relative"}}}) {
    const auto path = PelloxPaths::socketPath(env);
    const auto home = userDatabaseHome();
    if (home) {
      EXPECT_EQ(path, (*home == "/" ? "" : *home) + suffix);
    } else {
      EXPECT_FALSE(path);
    }
  }
}

}  // namespace
}  // namespace pellox
