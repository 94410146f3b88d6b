// The built pellox-bridge run the way an agent runs a hook command, against a
// companion listening on a real socket.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "PelloxShared/UnixSocket.h"
#include "support.h"

namespace pellox {
namespace {

using namespace std::string_literals;
using testing::Companion;
using testing::TempDir;

const std::string permissionEvent =
    R"({"session_id":"abc","hook_event_name":"PermissionRequest","tool_name":"Bash",)"
    R"("tool_input":{"command":"rm -rf build/","description":"Clean"},"cwd":"/work/p"})";
const std::string permissionPayload =
    R"({"cwd":"/work/p","hook_event_name":"PermissionRequest","session_id":"abc",)"
    R"("tool_input":{"command":"rm -rf build/","description":"Clean"},"tool_name":"Bash"})";
const std::string questionEvent =
    R"({"hook_event_name":"PreToolUse","tool_name":"AskUserQuestion","session_id":"abc",)"
    R"("tool_input":{"questions":[{"question":"Which database?","options":["Postgres","SQLite"]}]}})";

std::string requestLine(bool expects, const std::string& payload, const std::string& source) {
  return R"({"expectsResponse":)" + std::string(expects ? "true" : "false") + R"(,"hookParentPid":)" +
         std::to_string(::getpid()) + R"(,"payload":)" + payload + R"(,"source":")" + source + R"(","version":1})";
}

struct Exchange {
  std::vector<std::string> args;
  std::string input;
  Companion::Script script;
  std::string out;
  std::optional<std::string> request;  // the line the companion should receive
};

class BridgeRun : public ::testing::Test {
 protected:
  TempDir dir;
  std::string socket = dir.file("pellox.sock");
  std::map<std::string, std::string> env{{"HOME", dir.path()}, {"PELLOX_SOCKET", socket}};

  testing::Run run(const std::vector<std::string>& args, const std::string& input) {
    return testing::runBridge(args, env, input);
  }

  static void expectQuiet(const testing::Run& r, const std::string& out) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
  }

  void check(const Exchange& e, const std::string& name) {
    SCOPED_TRACE(name);
    Companion companion(socket);
    companion.serve(e.script);
    expectQuiet(run(e.args, e.input), e.out);
    companion.finish();
    EXPECT_TRUE(companion.accepted());
    if (e.request) {
      EXPECT_EQ(companion.request(), *e.request);
    }
    EXPECT_TRUE(companion.closedAfterRequest());
  }
};

TEST_F(BridgeRun, PermissionDecisions) {
  const std::string claudeRequest = requestLine(true, permissionPayload, "claude");
  const std::string codexRequest = requestLine(true, permissionPayload, "codex");
  const std::string allow =
      R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})";

  check({{},
         permissionEvent,
         Companion::reply(R"({"version":1,"decision":{"behavior":"allow","message":"ok","interrupt":true}})"
                          "\n"),
         allow,
         claudeRequest},
        "claude allow");
  check(
      {{},
       permissionEvent,
       Companion::reply(R"({"version":1,"decision":{"behavior":"deny","message":"Not here","interrupt":true}})"
                        "\n"),
       R"({"hookSpecificOutput":{"decision":{"behavior":"deny","interrupt":true,"message":"Not here"},"hookEventName":"PermissionRequest"}})",
       claudeRequest},
      "claude deny with interrupt");
  check(
      {{"--source", "codex"},
       permissionEvent,
       Companion::reply(R"({"version":1,"decision":{"behavior":"deny","message":"Not here","interrupt":true}})"
                        "\n"),
       R"({"hookSpecificOutput":{"decision":{"behavior":"deny","message":"Not here"},"hookEventName":"PermissionRequest"}})",
       codexRequest},
      "codex deny without interrupt");
  check({{},
         permissionEvent,
         Companion::replyInPieces({R"({"version":2,"deci)", R"(sion":{"behavior":"allow",)",
                                   R"("interrupt":false}})"
                                   "\n"
                                   R"({"version":1,"decision":{"behavior":"deny")"}),
         allow,
         claudeRequest},
        "reply split over writes, bytes after the line ignored");
  check({{},
         permissionEvent,
         Companion::replyAndHangUp(R"({"version":1,"decision":{"behavior":"allow","interrupt":false}})"),
         allow,
         claudeRequest},
        "reply without newline before close");
}

TEST_F(BridgeRun, QuestionAnswers) {
  const std::string reply =
      R"({"version":1,"decision":{"behavior":"deny","interrupt":true},"answers":{"Which database?":"SQLite"}})"
      "\n";
  check(
      {{},
       questionEvent,
       Companion::reply(reply),
       R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow","updatedInput":)"
       R"({"answers":{"Which database?":"SQLite"},"questions":[{"options":["Postgres","SQLite"],"question":"Which database?"}]}}})",
       std::nullopt},
      "claude question");
  // The same event from Codex is only delivered.
  check(
      {{"--source", "codex"},
       questionEvent,
       Companion::silent(),
       "",
       requestLine(
           false,
           R"({"hook_event_name":"PreToolUse","session_id":"abc","tool_input":{"questions":[{"options":["Postgres","SQLite"],"question":"Which database?"}]},"tool_name":"AskUserQuestion"})",
           "codex")},
      "codex question");
}

TEST_F(BridgeRun, EventsWithoutReplyAreOnlyDelivered) {
  check({{},
         R"({"hook_event_name":"SessionStart","source":"startup","n":12345678901234567890})",
         Companion::silent(),
         "",
         requestLine(false, R"({"hook_event_name":"SessionStart","n":1.2345678901234567e+19,"source":"startup"})",
                     "claude")},
        "session start");
  check({{},
         R"({"hook_event_name":"PreToolUse","tool_name":"Read","tool_input":{"file_path":"/a/b"}})",
         Companion::silent(),
         "",
         std::nullopt},
        "pre tool use of another tool");
  check({{}, R"({"hook_event_name":"NoSuchEvent"})", Companion::silent(), "", std::nullopt}, "unknown event");
}

TEST_F(BridgeRun, RepliesThatPrintNothing) {
  const struct {
    const char* name;
    Companion::Script script;
  } cases[] = {
      {"decision without interrupt", Companion::reply(R"({"version":1,"decision":{"behavior":"allow"}})"
                                                      "\n")},
      {"no decision", Companion::reply(R"({"version":1,"answers":{"q":"a"}})"
                                       "\n")},
      {"not JSON", Companion::reply("yes\n")},
      {"closed without a byte", Companion::replyAndHangUp("")},
      {"NUL after the reply", Companion::reply(R"({"version":1,"decision":{"behavior":"allow","interrupt":false}})"
                                               "\0junk\n"s)},
      {"over the size limit", Companion::reply(std::string(1'048'576 + 100, ' ') + R"({"version":1})"
                                                                                   "\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Companion companion(socket);
    companion.serve(c.script);
    expectQuiet(run({}, permissionEvent), "");
    companion.finish();
    EXPECT_EQ(companion.request(), requestLine(true, permissionPayload, "claude"));
  }
}

TEST_F(BridgeRun, SilentCompanionPastTheWaitTimeout) {
  Companion companion(socket);
  // The companion keeps the connection open until the bridge gives up.
  companion.serve(Companion::silent());
  expectQuiet(run({"--wait-timeout", "0.2"}, permissionEvent), "");
  companion.finish();
  EXPECT_TRUE(companion.closedAfterRequest());

  Companion second(socket + "2");
  second.serve(Companion::silent());
  expectQuiet(run({"--wait-timeout", "nan", "--socket", socket + "2"}, permissionEvent), "");
  second.finish();
  EXPECT_EQ(second.request(), requestLine(true, permissionPayload, "claude"));
}

TEST_F(BridgeRun, InputThatIsNoObjectNeverConnects) {
  Companion companion(socket);
  const std::string deep =
      R"({"hook_event_name":"PermissionRequest","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  // A NUL byte is never part of JSON text, not even after a whole value.
  const std::string nul = "{\"hook_event_name\":\"PermissionRequest\"}\0 x"s;
  for (const std::string& input : {std::string(), std::string("null"), std::string("[1,2]"),
                                   std::string("\"PermissionRequest\""), std::string("{\"a\":"), deep, nul}) {
    expectQuiet(run({"--wait-timeout", "1"}, input), "");
    EXPECT_FALSE(testing::connectionPending(companion.listenFd())) << input.substr(0, 30);
  }
}

TEST_F(BridgeRun, NoCompanion) {
  expectQuiet(run({}, permissionEvent), "");
  expectQuiet(run({"--socket", dir.file("nothing/here.sock")}, permissionEvent), "");
  expectQuiet(run({"--socket", ""}, permissionEvent), "");
  expectQuiet(run({"--socket", dir.file(std::string(120, 'x'))}, permissionEvent), "");

  // A full backlog is waited out for the connect time-out only.
  const int listener = UnixSocket::listen(socket, 0);
  const int queued = UnixSocket::connect(socket, 1);
  expectQuiet(run({"--connect-timeout", "0.05"}, permissionEvent), "");
  expectQuiet(run({"--connect-timeout", "nan"}, permissionEvent), "");
  ::close(queued);
  ::close(listener);

  // Without PELLOX_SOCKET the default path under HOME is used.
  env.erase("PELLOX_SOCKET");
  const std::string defaultDir = dir.path() + "/Library/Application Support/Pellox/run";
  Companion companion(defaultDir + "/pellox.sock");
  companion.serve(Companion::reply(R"({"version":1,"decision":{"behavior":"allow","interrupt":false}})"
                                   "\n"));
  expectQuiet(run({}, permissionEvent),
              R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})");
}

// A link planted where the socket should be, even to a socket of ours: nothing is sent.
TEST_F(BridgeRun, SocketPathMustBeOurOwnSocket) {
  Companion companion(dir.file("other-service.sock"));
  ASSERT_EQ(::symlink(companion.path().c_str(), socket.c_str()), 0);
  expectQuiet(run({"--wait-timeout", "1"}, permissionEvent), "");
  EXPECT_FALSE(testing::connectionPending(companion.listenFd()));
}

// A socket file of another user: nothing is sent.
TEST_F(BridgeRun, SocketFileOfAnotherUserGetsNothing) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to give the socket file to another user";
  Companion companion(dir.file("other-service.sock"));
  ASSERT_EQ(::lchown(companion.path().c_str(), 65534, 65534), 0);
  expectQuiet(run({"--socket", companion.path(), "--wait-timeout", "1"}, permissionEvent), "");
  EXPECT_FALSE(testing::connectionPending(companion.listenFd()));
}

// A listener of another user must not see the event, nor be obeyed.
TEST_F(BridgeRun, ListenerOfAnotherUserGetsNothing) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  constexpr uid_t nobody = 65534;
  const std::string theirs = dir.file("theirs");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), nobody, nobody), 0);
  const std::string path = theirs + "/pellox.sock";
  const auto address = UnixSocket::address(path);

  int ready[2], report[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here on: this is a forked copy of the test process.
    char received = 0;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0 || ::listen(fd, 4) != 0) {
      ::_exit(1);
    }
    (void)::write(ready[1], "r", 1);
    const int client = ::accept(fd, nullptr, nullptr);
    const char reply[] = "{\"version\":1,\"decision\":{\"behavior\":\"allow\",\"interrupt\":false}}\n";
    (void)::send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
    char byte;
    if (::read(client, &byte, 1) > 0) received = 1;
    (void)::write(report[1], &received, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(report[1]);
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  // The socket file passes for ours; the process listening behind it does not.
  ASSERT_EQ(::chown(path.c_str(), ::getuid(), ::getgid()), 0);

  expectQuiet(run({"--socket", path}, permissionEvent), "");

  char received = 1;
  EXPECT_EQ(::read(report[0], &received, 1), 1);
  EXPECT_EQ(received, 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ::close(report[0]);
}

}  // namespace
}  // namespace pellox
