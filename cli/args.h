#pragma once
// The grammar of the command line: arguments to SummaryArgs.
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace qm::cli::args {

inline constexpr std::string_view kVersion = "20.0.21";
inline constexpr std::string_view kProgram = "quillimare";

struct ArgCursor {
  std::vector<std::string> args;  // after the program name
  std::size_t next = 0;
  std::optional<std::string> pending;  // the part after "=" of the option read last

  bool done() const { return next >= args.size(); }
  const std::string& peek() const { return args[next]; }
};

using Status = std::expected<void, std::string>;

// The name of an option argument: the part before the first "=", or the whole argument.
std::string_view option_name(std::string_view arg);

Status parse_common_option(ArgCursor& cursor, CommonOptions& options);
// Handled (true), not a common option (false), or the error of parsing it.
std::expected<bool, std::string> try_parse_common_option(ArgCursor& cursor, CommonOptions& options);
std::expected<std::string, std::string> expect_option(ArgCursor& cursor);
std::expected<std::string, std::string> option_value(ArgCursor& cursor, std::string_view long_name);
[[noreturn]] void print_version();
std::string remove_dashes(std::string_view text);
std::expected<SummaryRange, std::string> parse_summary_range(std::string_view word);

// The command key that selects the configuration layer: "summary", "harness" or the first other word.
std::string command_key(const std::vector<std::string>& args);

// Steps after the configuration: the options before the command word, then the command's own.
std::expected<SummaryArgs, std::string> parse_command_line(const std::vector<std::string>& args,
                                                           CommonOptions options);

}  // namespace qm::cli::args
