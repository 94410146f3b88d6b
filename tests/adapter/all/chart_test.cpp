// The daily cost chart under the summary screen.
#include "adapter/all/chart.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fmt/core.h>

#include "adapter/all/rows.h"
#include "adapter/all/summary.h"
#include "kit/env.h"
#include "render.h"

namespace qm::all::chart {
namespace {

using render::repeat;
using testing::part;

const ConsoleSettings kPlain{false, std::nullopt, true};
const ConsoleSettings kColour{true, std::nullopt, false};

std::string day_of(int i) { return fmt::format("2026-01-{:02}", i); }

TEST(Chart, BarsShareOutTheirCellsByModel) {
  auto rows = loader::merge_rows_by_label({
      part("claude", "2026-01-01", 4.0, 10, {{"claude-sonnet-4-20250514", 3.0}, {"gpt-5", 1.0}}),
      part("codex", "2026-01-02", 0.0, 10, {{"claude-sonnet-4-20250514", 0.0}}),
      part("codex", "2026-01-03", 1.5, 10, {{"gpt-5", 1.5}}),
  });
  // Two models: no "other" column. 3/4 of 30 cells is 22.5, rounded away from zero; the last
  // share takes the rest; a day of $1.50 fills 11.25 -> 11 cells; a day of $0 none.
  EXPECT_EQ(render_daily_chart(rows, SortOrder::Asc, kPlain),
            "\n  daily cost by model · last 3d\n"
            "  █ sonnet-4  █ gpt-5  \n"
            "    2026-01-01  " + repeat("█", 30) + "  $4.00\n"
            "    2026-01-02  " + repeat("░", 30) + "  $0.00\n"
            "    2026-01-03  " + repeat("█", 11) + repeat("░", 19) + "  $1.50\n");
  EXPECT_EQ(render_daily_chart({}, SortOrder::Asc, kPlain), "");

  kit::EnvGuard env;
  env.unset("NO_COLOR");
  auto coloured = render_daily_chart(rows, SortOrder::Asc, kColour);
  EXPECT_NE(coloured.find("\x1b[32m" + repeat("█", 23) + "\x1b[0m\x1b[35m" + repeat("█", 7) + "\x1b[0m"),
            std::string::npos)
      << coloured;
}

TEST(Chart, EqualSharesRoundWithTheLastTakingTheRest) {
  kit::EnvGuard env;
  env.unset("NO_COLOR");
  // The second day fills 16 of 30 cells, in three equal parts: 5.33 -> 5, 5, then 6.
  auto rows = loader::merge_rows_by_label({
      part("amp", "2026-01-01", 30, 10, {{"a", 30}}),
      part("amp", "2026-01-02", 16, 10, {{"a", 16.0 / 3}, {"b", 16.0 / 3}, {"c", 16.0 / 3}}),
  });
  auto text = render_daily_chart(rows, SortOrder::Asc, kColour);
  EXPECT_NE(text.find("2026-01-02\x1b[0m  \x1b[32m" + repeat("█", 5) + "\x1b[0m\x1b[35m" + repeat("█", 5) +
                      "\x1b[0m\x1b[34m" + repeat("█", 6) + "\x1b[0m\x1b[90m" + repeat("░", 14) + "\x1b[0m"),
            std::string::npos)
      << text;
}

TEST(Chart, LatestTwentyOneDaysInTheRunsOrder) {
  // Thirty days, seven models: the five costliest get columns, the rest share "other".
  std::vector<UsageRow> parts;
  for (int d = 1; d <= 30; ++d)
    parts.push_back(part("claude", day_of(d), 28, 10,
                         {{"m1", 7}, {"m2", 6}, {"m3", 5}, {"m4", 4}, {"m5", 3}, {"m6", 2}, {"m7", 1}}));
  auto asc = loader::merge_rows_by_label(parts);
  auto desc = asc;
  std::reverse(desc.begin(), desc.end());

  for (auto [rows, order, first, last] : {std::tuple{asc, SortOrder::Asc, day_of(10), day_of(30)},
                                          std::tuple{desc, SortOrder::Desc, day_of(30), day_of(10)}}) {
    auto text = render_daily_chart(rows, order, kPlain);
    EXPECT_TRUE(text.starts_with("\n  daily cost by model · last 21d\n  █ m1  █ m2  █ m3  █ m4  █ m5  █ other  \n"))
        << text;
    auto lines = text.substr(text.find("other  \n") + 8);
    EXPECT_TRUE(lines.starts_with("    " + first + "  ")) << lines;
    EXPECT_NE(lines.find("    " + last + "  "), std::string::npos);
    EXPECT_EQ(lines.find(day_of(9)), std::string::npos);
    EXPECT_NE(lines.find("    " + last + "  " + repeat("█", 30) + "  $28.00\n"), std::string::npos);
  }
}

TEST(Chart, ModelDisplayNames) {
  struct Case {
    const char* name;
    const char* shown;
  } cases[] = {
      {"claude-sonnet-4-20250514", "sonnet-4"},
      {"anthropic/claude-opus-4-1-20250805", "opus-4-1"},
      {"claude-3-5-haiku", "3-5-haiku"},
      {"gpt-5-codex", "gpt-5-codex"},
      {"gemini-2-abcdefgh", "gemini-2"},      // any 8-character last part of three or more
      {"model-20250514", "model-20250514"},   // two parts keep it
      {"claude-x-y-é1234567", "x-y"},         // characters, not bytes
  };
  for (const auto& c : cases) EXPECT_EQ(summary::model_display_name(c.name), c.shown) << c.name;
}

}  // namespace
}  // namespace qm::all::chart
