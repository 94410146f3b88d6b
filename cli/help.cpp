#include "cli/help.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <span>

namespace qm::cli::help {
namespace {

using Row = std::pair<std::string_view, std::string_view>;

constexpr std::array<Row, 20> kCommonRows = {{
    {"-j, --json", "Output in JSON format (default: false)"},
    {"-s, --since <since>", "Filter from date (YYYY-MM-DD or YYYYMMDD)"},
    {"-u, --until <until>", "Filter until date (inclusive)"},
    {"-z, --timezone <timezone>", "Timezone for date grouping (IANA) (default: system timezone)"},
    {"-m, --mode <mode>", "Cost calculation mode (default: auto, choices: auto | calculate | display)"},
    {"-o, --order <order>", "Sort order for loaded usage rows (default: asc, choices: asc | desc)"},
    {"-b, --breakdown", "Include per-model cost breakdowns (default: false)"},
    {"-O, --offline", "Use cached pricing and skip live subscription-limit calls (default: false)"},
    {"--no-offline", "Allow live pricing and subscription-limit calls"},
    {"--compact", "Force compact table layout for narrow terminals (default: false)"},
    {"--single-thread", "Disable parallel JSONL file loading (default: false)"},
    {"--no-cost", "Hide cost information in table and JSON output (default: false)"},
    {"--color", "Enable colored output. FORCE_COLOR=1 has the same effect. (default: auto)"},
    {"--no-color", "Disable colored output. NO_COLOR=1 has the same effect. (default: auto)"},
    {"--config <config>", "Path to configuration file (default: auto-discovery)"},
    {"-q, --jq <jq>", "Run a jq-style filter against JSON output"},
    {"-d, --debug", "Show pricing mismatch information for debugging (default: false)"},
    {"--debug-samples <debug-samples>", "Number of sample discrepancies to show in debug output (default: 5)"},
    {"-h, --help", "Display this help message"},
    {"-v, --version", "Display this version"},
}};

constexpr std::array<Row, 8> kSummaryRows = {{
    {"--agents <agents>", "Load only these harnesses (comma-separated, e.g. codex,claude); default: all"},
    {"--range <range>",
     "Quick time range (also accepted as a bare word, e.g. `summary mtd`) (choices: today | yesterday | wtd | mtd | "
     "ytd | week | month)"},
    {"--value", "Show subscription value: API-equivalent usage vs monthly plan price (default: false)"},
    {"--html", "Generate and open an interactive HTML report (Vercel-styled, with a daily-by-model chart) (default: false)"},
    {"--chart", "Append a day-by-day stacked-by-model chart to the terminal output (default: false)"},
    {"--claude-plan <claude-plan>", "Claude plan for value calculation: pro | max-5x | max-20x | a monthly price"},
    {"--codex-plan <codex-plan>", "Codex plan override: plus | pro | a monthly price"},
    {"--cursor-plan <cursor-plan>", "Cursor plan override: pro | pro+ | ultra | a monthly price"},
}};

constexpr std::array<Row, 3> kHarnessRows = {{
    {"--value", "Show subscription value for the focused harness (default: false)"},
    {"--claude-plan <claude-plan>", "Claude plan for value calculation: pro | max-5x | max-20x | a monthly price"},
    {"--codex-plan <codex-plan>", "Codex plan override: plus | pro | a monthly price"},
}};

// Every description starts in column 40: two spaces, a 37-character column, the text.
std::string options_block(std::span<const Row> extra) {
  std::vector<Row> rows(kCommonRows.begin(), kCommonRows.end());
  rows.insert(rows.end(), extra.begin(), extra.end());
  std::string out = "OPTIONS:";
  for (const auto& [name, desc] : rows) {
    std::string line = "  " + std::string(name);
    line.resize(std::max<std::size_t>(line.size(), 39), ' ');
    out += "\n" + line + std::string(desc);
  }
  return out;
}

std::size_t char_count(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string_view file_name_part(std::string_view arg) {
  if (auto p = arg.rfind('/'); p != std::string_view::npos) arg.remove_prefix(p + 1);
  if (auto p = arg.rfind('\\'); p != std::string_view::npos) arg.remove_prefix(p + 1);
  return arg;
}

constexpr std::array<std::string_view, 19> kValueNames = {
    "-s", "--since", "-u", "--until", "-m", "--mode", "--debug-samples", "-o", "--order", "-z",
    "--timezone", "-q", "--jq", "--config", "--claude-plan", "--codex-plan", "--cursor-plan", "--agents", "--range"};

std::string command_page(std::string_view description, std::string_view usage, std::span<const Row> extra) {
  return std::string(description) + "\n\nUSAGE:\n  " + std::string(usage) + "\n\n" + options_block(extra);
}

}  // namespace

std::string format_option_table(const std::vector<Row>& rows, std::size_t min_width) {
  std::size_t width = min_width;
  for (const auto& r : rows) width = std::max(width, char_count(r.first));
  std::string out;
  for (const auto& [name, desc] : rows) {
    if (!out.empty()) out += "\n";
    out += "  " + std::string(name) + std::string(width - char_count(name), ' ') + " " + std::string(desc);
  }
  return out;
}

std::string build_help(const std::vector<std::string>& args) {
  std::size_t start = 0;
  if (!args.empty()) {
    auto base = file_name_part(args[0]);
    if (base == "quillimare" || base == "quillimare.exe" || base == "qilm" || base == "qilm.exe") start = 1;
  }
  std::vector<std::string_view> words;
  for (std::size_t i = start; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a.empty() || a.front() != '-') {
      words.push_back(a);
      continue;
    }
    if (a.find('=') != std::string_view::npos) continue;
    for (auto v : kValueNames)
      if (a == v) {
        ++i;
        break;
      }
  }
  if (words.size() == 1 && words[0] == "summary")
    return command_page(
        "Compare detected coding-agent usage, model spend, and subscription value. This is the default command when "
        "no command is provided.",
        "quillimare summary [RANGE] <OPTIONS>", kSummaryRows);
  if (words.size() == 1 && words[0] == "harness")
    return command_page(
        "Focused weekly rate-limit detail for one harness: limit used vs time elapsed, value extrapolation, and a "
        "day-by-day breakdown.",
        "quillimare harness <codex|claude> <OPTIONS>", kHarnessRows);
  std::string page = "USAGE:\n  quillimare [summary] [RANGE] <OPTIONS>\n  quillimare harness <codex|claude> <OPTIONS>\n\nCOMMANDS:\n";
  page += format_option_table({{"summary", "Compare API-equivalent agent usage with subscription value"},
                               {"harness", "Inspect one subscription harness with live limits and value"}},
                              26);
  page += "\n\nFor more info, run any command with the `--help` flag:\n  quillimare summary --help\n  quillimare harness --help\n\n";
  page += options_block({});
  return page;
}

[[noreturn]] void print_help(const std::vector<std::string>& args) {
  std::string page = build_help(args) + "\n";
  std::fwrite(page.data(), 1, page.size(), stdout);
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace qm::cli::help
