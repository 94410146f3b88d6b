// What the grammar stores: option records from argument vectors.
#include "cli/args.h"

#include <gtest/gtest.h>

namespace qm::cli::args {
namespace {

SummaryArgs parse(const std::vector<std::string>& args, CommonOptions start = {}) {
  auto r = parse_command_line(args, std::move(start));
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r.value_or(SummaryArgs{});
}

TEST(Args, LastOccurrenceWinsAcrossCommandWord) {
  auto a = parse({"--since", "2024-01-05", "summary", "--since", "2024-02-01"});
  EXPECT_EQ(a.common.since, "20240201");
  // The command line wins over values that came from the configuration.
  CommonOptions from_config;
  from_config.order = SortOrder::Desc;
  from_config.since = "20230101";
  a = parse({"-o", "asc"}, from_config);
  EXPECT_EQ(a.common.order, SortOrder::Asc);
  EXPECT_EQ(a.common.since, "20230101");
}

TEST(Args, ValuesAfterEqualsAndSeparateArguments) {
  auto a = parse({"--since=-5", "-u", "", "--jq=.totals", "-z", "Europe/Paris", "--mode=display"});
  EXPECT_EQ(a.common.since, "5");
  EXPECT_EQ(a.common.until, "");
  EXPECT_EQ(a.common.jq, ".totals");
  EXPECT_EQ(a.common.timezone, "Europe/Paris");
  EXPECT_EQ(a.common.mode, CostMode::Display);
  a = parse({"--json=no", "--debug-samples", "+7", "--config", "x.json"});
  EXPECT_TRUE(a.common.json);  // a flag written with "=" is still set; the text is dropped
  EXPECT_EQ(a.common.debug_samples, 7u);
  EXPECT_EQ(a.common.config, "x.json");
}

TEST(Args, SummaryWordsAndOptions) {
  auto a = parse({});
  EXPECT_FALSE(a.range);
  EXPECT_FALSE(a.harness_agent);
  a = parse({"summary", "today"});
  EXPECT_EQ(a.range, SummaryRange::Today);
  a = parse({"summary", "day", "--range", "ytd", "wtd"});
  EXPECT_EQ(a.range, SummaryRange::Wtd);
  a = parse({"summary", "--agents", "claude, codex,claude", "--agents=cursor", "--value", "--html", "--chart",
             "--claude-plan", "max-5x", "--codex-plan=pro", "--cursor-plan", "pro+"});
  EXPECT_EQ(a.common.agents, (std::vector<std::string>{"claude", "codex", "cursor"}));
  EXPECT_TRUE(a.value && a.html && a.chart);
  EXPECT_EQ(a.claude_plan, "max-5x");
  EXPECT_EQ(a.codex_plan, "pro");
  EXPECT_EQ(a.cursor_plan, "pro+");
}

TEST(Args, HarnessGrammar) {
  auto a = parse({"-O", "harness", "claude", "--value", "--claude-plan", "pro", "--json"});
  EXPECT_EQ(a.harness_agent, "claude");
  EXPECT_TRUE(a.value);
  EXPECT_TRUE(a.common.offline && a.common.json);
  EXPECT_EQ(a.claude_plan, "pro");
  EXPECT_FALSE(a.range);
  EXPECT_FALSE(a.html || a.chart);
}

TEST(Args, CommandKeySkipsOptionValues) {
  EXPECT_EQ(command_key({}), "summary");
  EXPECT_EQ(command_key({"--since", "harness", "--json"}), "summary");
  EXPECT_EQ(command_key({"--since=x", "harness", "codex"}), "harness");
  EXPECT_EQ(command_key({"-j", "today"}), "today");
  EXPECT_EQ(command_key({"--range", "mtd", "summary"}), "summary");
}

}  // namespace
}  // namespace qm::cli::args
