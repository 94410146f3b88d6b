#include "cli/main.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "adapter/all/summary.h"
#include "cli/args.h"
#include "cli/help.h"
#include "config.h"
#include "util.h"

namespace qm::cli {
namespace {

[[noreturn]] void usage_error(const std::string& message) {
  std::fflush(stdout);
  std::string text = message + "\nRun 'quillimare --help' for usage.\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  std::exit(2);
}

}  // namespace

std::string debug_form(const CliError& error) {
  std::string out = "CliError(\"";
  for (unsigned char c : error.message) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\")";
  return out;
}

std::expected<void, CliError> main::main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (!util::is_valid_utf8(a)) usage_error("Arguments must be valid UTF-8");
    args.emplace_back(a);
  }
  std::string key = args::command_key(args);
  auto config = config::load_config(args);

  for (const auto& a : args)
    if (a == "-v" || a == "-V" || a == "--version") args::print_version();
  for (const auto& a : args)
    if (a == "-h" || a == "--help") help::print_help(args);

  CommonOptions options;
  if (config) config::apply_config(*config, key, options);
  auto parsed = args::parse_command_line(args, std::move(options));
  if (!parsed) usage_error(parsed.error());

  if (auto r = all::summary::run_summary(*parsed); !r) return std::unexpected(CliError{r.error()});
  return {};
}

}  // namespace qm::cli
