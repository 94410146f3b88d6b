#include "adapter/all/registry.h"

#include <array>

#include "adapter/amp/reader.h"
#include "adapter/claude/loader.h"
#include "adapter/codebuff/reader.h"
#include "adapter/codex/aggregate.h"
#include "adapter/copilot/reader.h"
#include "adapter/cursor/reader.h"
#include "adapter/droid/reader.h"
#include "adapter/gemini/reader.h"
#include "adapter/goose/reader.h"
#include "adapter/hermes/reader.h"
#include "adapter/kilo/reader.h"
#include "adapter/kimi/reader.h"
#include "adapter/openclaw/reader.h"
#include "adapter/opencode/reader.h"
#include "adapter/pi/reader.h"
#include "adapter/qwen/reader.h"

namespace qm::all::registry {
namespace {

// A reader that may cut a large file into parts, with the part sizes of a real run.
template <auto read>
AgentLoadResult in_parts(const loader::LoadOptions& options, const pricing::PricingTable& prices) {
  return read(options, prices, parallel::PartSizes{});
}

constexpr std::string_view kOtherPageColor = "#94a3b8";

constexpr std::array<Agent, kAgentKindCount> kAgents{{
    {AgentKind::Claude, "claude", "Claude", 4, "#d96bf5", claude::run_claude_loader},
    {AgentKind::Codex, "codex", "Codex", 2, "#34d399", codex::aggregate::load_codex_usage},
    {AgentKind::OpenCode, "opencode", "OpenCode", 1, "#22d3ee", opencode::report::load_opencode_usage},
    {AgentKind::Amp, "amp", "Amp", 1, "#fb7185", amp::load_amp_usage},
    {AgentKind::Droid, "droid", "Droid", 1, "#fbbf24", droid::load_droid_usage},
    {AgentKind::Codebuff, "codebuff", "Codebuff", 1, kOtherPageColor, codebuff::parser::load_codebuff_usage},
    {AgentKind::Hermes, "hermes", "Hermes", 1, kOtherPageColor, hermes::load_hermes_usage},
    {AgentKind::Pi, "pi", "pi-agent", 1, "#a78bfa", in_parts<pi::load_pi_usage>},
    {AgentKind::Goose, "goose", "Goose", 1, kOtherPageColor, goose::parser::load_goose_usage},
    {AgentKind::OpenClaw, "openclaw", "OpenClaw", 1, "#22d3ee", in_parts<openclaw::parser::load_openclaw_usage>},
    {AgentKind::Kilo, "kilo", "Kilo", 1, kOtherPageColor, kilo::load_kilo_usage},
    {AgentKind::Cursor, "cursor", "Cursor", 5, "#f97316", cursor::loader::load_cursor_usage},
    {AgentKind::Copilot, "copilot", "GitHub Copilot CLI", 1, kOtherPageColor, in_parts<copilot::load_copilot_usage>},
    {AgentKind::Gemini, "gemini", "Gemini CLI", 1, "#60a5fa", in_parts<gemini::parser::load_gemini_usage>},
    {AgentKind::Kimi, "kimi", "Kimi", 1, kOtherPageColor, in_parts<kimi::load_kimi_usage>},
    {AgentKind::Qwen, "qwen", "Qwen", 1, kOtherPageColor, qwen::parser::load_qwen_usage},
}};

constexpr bool rows_in_kind_order() {
  for (std::size_t i = 0; i < kAgents.size(); ++i)
    if (static_cast<std::size_t>(kAgents[i].kind) != i) return false;
  return true;
}
static_assert(rows_in_kind_order(), "row i of the agent table is the agent of kind i");

}  // namespace

std::span<const Agent> agents() { return kAgents; }

const Agent& agent(AgentKind kind) { return kAgents[static_cast<std::size_t>(kind)]; }

std::optional<AgentKind> agent_kind_from_id(std::string_view id) {
  for (const auto& a : kAgents)
    if (a.id == id) return a.kind;
  return std::nullopt;
}

std::string_view agent_display_name(std::string_view word) {
  if (word == "all") return "All";
  if (auto kind = agent_kind_from_id(word)) return agent(*kind).display_name;
  return word;
}

std::uint8_t agent_color(std::string_view agent_id) {
  if (auto kind = agent_kind_from_id(agent_id)) return agent(*kind).color_index;
  return 1;
}

std::string_view agent_page_color(std::string_view agent_id) {
  if (auto kind = agent_kind_from_id(agent_id)) return agent(*kind).page_color;
  return kOtherPageColor;
}

}  // namespace qm::all::registry
