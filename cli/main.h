#pragma once
#include <expected>
#include <string>

namespace qm::cli {

// The error of a run; printed after "Error: " in its debug form.
struct CliError {
  std::string message;
};

// CliError("...") with the message quoted and escaped.
std::string debug_form(const CliError& error);

namespace main {
// Parses the arguments and the configuration file and runs the command. Ends the process
// itself after --version, --help and a usage error.
std::expected<void, CliError> main(int argc, char** argv);
}  // namespace main

}  // namespace qm::cli
