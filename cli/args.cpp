#include "cli/args.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "adapter/all/registry.h"
#include "util.h"

namespace qm::cli::args {
namespace {

bool starts_with_dash(std::string_view s) { return !s.empty() && s.front() == '-'; }

// Options whose value is the following argument, for the command-key scan.
constexpr std::array<std::string_view, 18> kValueOptions = {
    "-s", "--since", "-u", "--until", "-m", "--mode", "--debug-samples", "-o", "--order",
    "-z", "--timezone", "-q", "--jq", "--config", "--range", "--claude-plan", "--codex-plan", "--cursor-plan"};

struct CommonName {
  std::string_view short_name;
  std::string_view long_name;
};
constexpr std::array<CommonName, 18> kCommon = {{
    {"-s", "--since"}, {"-u", "--until"}, {"-j", "--json"}, {"-m", "--mode"}, {"-d", "--debug"},
    {"", "--debug-samples"}, {"-o", "--order"}, {"-b", "--breakdown"}, {"-O", "--offline"},
    {"", "--no-offline"}, {"", "--color"}, {"", "--no-color"}, {"-z", "--timezone"}, {"-q", "--jq"},
    {"", "--config"}, {"", "--compact"}, {"", "--single-thread"}, {"", "--no-cost"},
}};

const CommonName* find_common(std::string_view name) {
  for (const auto& c : kCommon)
    if (name == c.long_name || (!c.short_name.empty() && name == c.short_name)) return &c;
  return nullptr;
}

std::string quoted(std::string_view fmt_prefix, std::string_view value, std::string_view suffix = "'") {
  return std::string(fmt_prefix) + std::string(value) + std::string(suffix);
}

Status add_agents(std::string_view value, CommonOptions& options) {
  std::size_t start = 0;
  for (;;) {
    auto comma = value.find(',', start);
    std::string_view piece = util::trim(value.substr(start, comma == std::string_view::npos ? value.npos : comma - start));
    if (!all::registry::agent_kind_from_id(piece)) return std::unexpected(quoted("Unsupported summary agent '", piece));
    if (!util::slice_contains(options.agents, piece)) options.agents.emplace_back(piece);
    if (comma == std::string_view::npos) return {};
    start = comma + 1;
  }
}

}  // namespace

std::string_view option_name(std::string_view arg) {
  auto eq = arg.find('=');
  return eq == std::string_view::npos ? arg : arg.substr(0, eq);
}

std::string remove_dashes(std::string_view text) { return date_bound(text); }

std::expected<SummaryRange, std::string> parse_summary_range(std::string_view w) {
  if (w == "today" || w == "day") return SummaryRange::Today;
  if (w == "yesterday") return SummaryRange::Yesterday;
  if (w == "wtd") return SummaryRange::Wtd;
  if (w == "mtd") return SummaryRange::Mtd;
  if (w == "ytd") return SummaryRange::Ytd;
  if (w == "week") return SummaryRange::Week;
  if (w == "month") return SummaryRange::Month;
  return std::unexpected(quoted("Invalid summary range '", w,
                                "'. Use today | yesterday | wtd | mtd | ytd | week | month."));
}

std::expected<std::string, std::string> expect_option(ArgCursor& c) {
  c.pending.reset();
  const std::string& arg = c.args[c.next++];
  auto eq = arg.find('=');
  if (eq != std::string::npos && starts_with_dash(std::string_view(arg).substr(0, eq))) {
    c.pending = arg.substr(eq + 1);
    return arg.substr(0, eq);
  }
  if (starts_with_dash(arg)) return arg;
  return std::unexpected(quoted("Expected option, got '", arg));
}

std::expected<std::string, std::string> option_value(ArgCursor& c, std::string_view long_name) {
  auto missing = [&] { return std::unexpected("Missing value for " + std::string(long_name)); };
  if (c.pending) {
    std::string v = std::move(*c.pending);
    c.pending.reset();
    if (v.empty()) return missing();
    return v;
  }
  if (c.done()) return missing();
  const std::string& arg = c.args[c.next++];
  if (starts_with_dash(arg)) return missing();
  return arg;
}

Status parse_common_option(ArgCursor& c, CommonOptions& o) {
  auto name = expect_option(c);
  if (!name) return std::unexpected(name.error());
  const CommonName* opt = find_common(*name);
  if (!opt) return std::unexpected(quoted("Unknown option '", *name));
  std::string_view ln = opt->long_name;
  auto value = [&]() { return option_value(c, ln); };
  // A flag given as "--flag=text" sets the flag and drops the text.
  auto flag = [&](bool& field) -> Status {
    c.pending.reset();
    field = true;
    return {};
  };
  if (ln == "--since" || ln == "--until") {
    auto v = value();
    if (!v) return std::unexpected(v.error());
    (ln == "--since" ? o.since : o.until) = remove_dashes(*v);
    return {};
  }
  if (ln == "--mode") {
    auto v = value();
    if (!v) return std::unexpected(v.error());
    if (*v == "auto") o.mode = CostMode::Auto;
    else if (*v == "calculate") o.mode = CostMode::Calculate;
    else if (*v == "display") o.mode = CostMode::Display;
    else return std::unexpected(quoted("Invalid cost mode '", *v));
    return {};
  }
  if (ln == "--order") {
    auto v = value();
    if (!v) return std::unexpected(v.error());
    if (*v == "asc") o.order = SortOrder::Asc;
    else if (*v == "desc") o.order = SortOrder::Desc;
    else return std::unexpected(quoted("Invalid sort order '", *v));
    return {};
  }
  if (ln == "--debug-samples") {
    auto v = value();
    if (!v) return std::unexpected(v.error());
    auto n = util::parse_u64_decimal(*v);
    if (!n) return std::unexpected(std::string("Invalid value for --debug-samples"));
    o.debug_samples = *n;
    return {};
  }
  if (ln == "--timezone" || ln == "--jq" || ln == "--config") {
    auto v = value();
    if (!v) return std::unexpected(v.error());
    (ln == "--timezone" ? o.timezone : ln == "--jq" ? o.jq : o.config) = std::move(*v);
    return {};
  }
  if (ln == "--json") return flag(o.json);
  if (ln == "--debug") return flag(o.debug);
  if (ln == "--breakdown") return flag(o.breakdown);
  if (ln == "--offline") return flag(o.offline);
  if (ln == "--no-offline") return flag(o.no_offline);
  if (ln == "--color") return flag(o.color);
  if (ln == "--no-color") return flag(o.no_color);
  if (ln == "--compact") return flag(o.compact);
  if (ln == "--single-thread") return flag(o.single_thread);
  return flag(o.no_cost);  // the last entry of the table
}

std::expected<bool, std::string> try_parse_common_option(ArgCursor& c, CommonOptions& o) {
  if (c.done() || !find_common(option_name(c.peek()))) return false;
  auto r = parse_common_option(c, o);
  if (!r) return std::unexpected(r.error());
  return true;
}

std::string command_key(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    auto eq = a.find('=');
    if (eq != std::string_view::npos && starts_with_dash(a.substr(0, eq))) continue;
    if (starts_with_dash(a)) {
      for (auto v : kValueOptions)
        if (a == v) {
          ++i;
          break;
        }
      continue;
    }
    return std::string(a);
  }
  return "summary";
}

std::expected<SummaryArgs, std::string> parse_command_line(const std::vector<std::string>& argv, CommonOptions options) {
  ArgCursor c{argv, 0, std::nullopt};
  SummaryArgs out;
  std::optional<std::string> command;
  while (!c.done()) {
    const std::string& a = c.peek();
    if (a == "summary" || a == "harness") {
      command = a;
      ++c.next;
      break;
    }
    if (!starts_with_dash(a)) return std::unexpected(quoted("Unknown command '", a));
    if (auto r = parse_common_option(c, options); !r) return std::unexpected(r.error());
  }

  if (command == "harness") {
    if (c.done()) return std::unexpected(std::string("Specify an agent: quillimare harness <codex|claude>"));
    std::string agent = c.args[c.next++];
    if (agent != "codex" && agent != "claude")
      return std::unexpected("Unsupported agent '" + agent + "' for harness. Use 'quillimare harness <codex|claude>'.");
    while (!c.done()) {
      auto handled = try_parse_common_option(c, options);
      if (!handled) return std::unexpected(handled.error());
      if (*handled) continue;
      auto name = expect_option(c);
      if (!name) return std::unexpected(name.error());
      if (*name == "--value") {
        c.pending.reset();
        out.value = true;
      } else if (*name == "--claude-plan" || *name == "--codex-plan") {
        auto v = option_value(c, *name);
        if (!v) return std::unexpected(v.error());
        (*name == "--claude-plan" ? out.claude_plan : out.codex_plan) = std::move(*v);
      } else {
        return std::unexpected(quoted("Unknown harness option '", *name));
      }
    }
    out.harness_agent = std::move(agent);
  } else if (command == "summary") {
    while (!c.done()) {
      const std::string& a = c.peek();
      if (a == "--all") {
        ++c.next;
        continue;
      }
      if (!starts_with_dash(a)) {
        auto r = parse_summary_range(a);
        if (!r) return std::unexpected(r.error());
        out.range = *r;
        ++c.next;
        continue;
      }
      auto handled = try_parse_common_option(c, options);
      if (!handled) return std::unexpected(handled.error());
      if (*handled) continue;
      auto name = expect_option(c);
      if (!name) return std::unexpected(name.error());
      const std::string& n = *name;
      if (n == "--value" || n == "--html" || n == "--chart") {
        c.pending.reset();
        (n == "--value" ? out.value : n == "--html" ? out.html : out.chart) = true;
      } else if (n == "--agents" || n == "--range" || n == "--claude-plan" || n == "--codex-plan" ||
                 n == "--cursor-plan") {
        auto v = option_value(c, n);
        if (!v) return std::unexpected(v.error());
        if (n == "--agents") {
          if (auto r = add_agents(*v, options); !r) return std::unexpected(r.error());
        } else if (n == "--range") {
          auto r = parse_summary_range(*v);
          if (!r) return std::unexpected(r.error());
          out.range = *r;
        } else {
          (n == "--claude-plan" ? out.claude_plan : n == "--codex-plan" ? out.codex_plan : out.cursor_plan) =
              std::move(*v);
        }
      } else {
        return std::unexpected(quoted("Unknown summary option '", n));
      }
    }
  }
  out.common = std::move(options);
  return out;
}

[[noreturn]] void print_version() {
  std::printf("quillimare %.*s\n", static_cast<int>(kVersion.size()), kVersion.data());
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace qm::cli::args
