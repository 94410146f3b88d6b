#pragma once
// Runs a program as a user would: argument vector, environment, standard input; captures
// standard output, standard error and the exit status.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qm::kit {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  // Environment of the child: exactly these variables (nothing is inherited).
  std::map<std::string, std::string> env;
  std::optional<std::string> cwd;
  std::string stdin_data;
};

// argv[0] is the program path.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options);

// A minimal environment for running the built programs: PATH of this process, a HOME,
// TZ=UTC, LOG_LEVEL unset, no colour variables, every service host on a closed loopback port.
std::map<std::string, std::string> base_env(const std::string& home);

}  // namespace qm::kit
