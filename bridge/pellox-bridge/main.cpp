// pellox-bridge: run by Claude Code or Codex as a hook command, once per event.
// It prints nothing on standard error and always exits with status 0.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <new>
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

struct FreeMemory {
  void operator()(char* p) const { std::free(p); }
};

struct Input {
  std::unique_ptr<char, FreeMemory> data;
  std::size_t size = 0;
  std::string_view bytes() const { return {data.get(), size}; }
};

// Everything on standard input; a read error ends it like end of file. The
// buffer grows by realloc, which moves a large block by remapping it instead
// of copying, so even an event of hundreds of megabytes is held only once.
Input readStandardInput() {
  Input input;
  std::size_t capacity = 64 * 1024;
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    capacity = static_cast<std::size_t>(st.st_size) + 1;
  }
  for (;;) {
    if (input.size == capacity || !input.data) {
      if (input.data) capacity *= 2;
      char* grown = static_cast<char*>(std::realloc(input.data.get(), capacity));
      if (grown == nullptr) throw std::bad_alloc();
      input.data.release();
      input.data.reset(grown);
    }
    const ssize_t n = ::read(STDIN_FILENO, input.data.get() + input.size, capacity - input.size);
    if (n > 0) {
      input.size += static_cast<std::size_t>(n);
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

  const Input input = readStandardInput();
  // Without a home directory and no --socket there is nowhere to connect.
  if (options.socketPath.empty()) return;
  if (auto output = pellox::BridgeClient::run(input.bytes(), options)) writeStandardOutput(*output);
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
