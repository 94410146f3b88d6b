#pragma once
// Starting the programs we depend on (jq, the keychain tool, the browser opener) from PATH.
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace qm::subprocess {

enum class Stream { Inherit, Pipe, Null };

struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;   // when piped
  int stdout_fd = -1;  // when piped
  int stderr_fd = -1;  // when piped
};

// Looks `program` up on PATH; the child starts with SIGPIPE at its default action.
// The error is the system's message.
std::expected<Child, std::string> start(const std::string& program, const std::vector<std::string>& args,
                                        Stream in, Stream out, Stream err);

// Waits for the child; the result is its exit status (128 + signal number when killed).
std::expected<int, std::string> wait(Child& child);

// Writes all of `data` to `fd`; a broken pipe is reported as false with errno EPIPE.
bool write_all(int fd, std::string_view data);

struct Captured {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs to completion feeding `input` on standard input and collecting both outputs.
// With a time-out the child is killed when it runs longer; the error is then "timed out".
std::expected<Captured, std::string> run_captured(const std::string& program, const std::vector<std::string>& args,
                                                  const std::string& input,
                                                  std::optional<std::chrono::milliseconds> timeout);

}  // namespace qm::subprocess
