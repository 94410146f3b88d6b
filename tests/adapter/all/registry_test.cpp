// The agent table: one row per kind, in kind order, and the lookups by id.
#include "adapter/all/registry.h"

#include <gtest/gtest.h>

namespace qm::all::registry {
namespace {

TEST(AgentRegistry, RowsInKindOrderWithDistinctIdsAndAReaderEach) {
  ASSERT_EQ(agents().size(), kAgentKindCount);
  for (std::size_t i = 0; i < agents().size(); ++i) {
    const Agent& a = agents()[i];
    EXPECT_EQ(static_cast<std::size_t>(a.kind), i);
    EXPECT_EQ(&agent(a.kind), &a);
    EXPECT_EQ(agent_kind_from_id(a.id), a.kind);
    EXPECT_NE(a.reader, nullptr) << a.id;
  }
  EXPECT_EQ(agent_kind_from_id("all"), std::nullopt);
  EXPECT_EQ(agent_kind_from_id("Claude"), std::nullopt);
}

TEST(AgentRegistry, DisplayNamesAndColours) {
  EXPECT_EQ(agent_display_name("all"), "All");
  EXPECT_EQ(agent_display_name("pi"), "pi-agent");
  EXPECT_EQ(agent_display_name("copilot"), "GitHub Copilot CLI");
  EXPECT_EQ(agent_display_name("gemini"), "Gemini CLI");
  EXPECT_EQ(agent_display_name("Claude"), "Claude");
  EXPECT_EQ(agent_display_name("nobody"), "nobody");
  EXPECT_EQ(agent_color("claude"), 4);
  EXPECT_EQ(agent_color("codex"), 2);
  EXPECT_EQ(agent_color("cursor"), 5);
  EXPECT_EQ(agent_color("qwen"), 1);
  EXPECT_EQ(agent_color("Claude"), 1);
  EXPECT_EQ(agent_page_color("claude"), "#d96bf5");
  EXPECT_EQ(agent_page_color("opencode"), "#22d3ee");
  EXPECT_EQ(agent_page_color("openclaw"), "#22d3ee");
  EXPECT_EQ(agent_page_color("kimi"), "#94a3b8");
  EXPECT_EQ(agent_page_color("all"), "#94a3b8");
}

}  // namespace
}  // namespace qm::all::registry
