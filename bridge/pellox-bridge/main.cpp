// pellox-bridge: run by Claude Code or Codex as a hook command, once per event.
// It prints nothing on standard error and always exits with status 0.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "PelloxShared/BridgeClient.h"
#include "PelloxShared/Paths.h"

extern char** environ;

namespace {

pellox::PelloxPaths::Environment processEnvironment() {
  pellox::PelloxPaths::Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

// Everything on standard input; a read error ends it like end of file.
std::string readStandardInput() {
  std::string input;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      input.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return input;
    }
  }
}

// An agent that closed its end gets nothing; there is no one to tell.
void writeStandardOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void bridge(int argc, char** argv) {
  const auto socketPath = pellox::PelloxPaths::socketPath(processEnvironment());
  pellox::BridgeClient::Options options{
      .socketPath = socketPath.value_or(""),
      .connectTimeout = 0.3,
      .decisionTimeout = 110.0,
      .parentPid = static_cast<std::int32_t>(::getppid()),
      .source = "claude",
  };
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  pellox::BridgeClient::applyArguments(options, args);

  const std::string input = readStandardInput();
  // Without a home directory and no --socket there is nowhere to connect.
  if (options.socketPath.empty()) return;
  if (auto output = pellox::BridgeClient::run(input, options)) writeStandardOutput(*output);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    bridge(argc, argv);
  } catch (...) {
  }
  return 0;
}
