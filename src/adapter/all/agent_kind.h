#pragma once
// The sixteen agents, numbered in the order of the agent table (adapter/all/registry.cpp):
// the order in which a load runs them and reports what they found.
#include <cstddef>
#include <cstdint>

namespace qm {

enum class AgentKind : std::uint8_t {
  Claude, Codex, OpenCode, Amp, Droid, Codebuff, Hermes, Pi,
  Goose, OpenClaw, Kilo, Cursor, Copilot, Gemini, Kimi, Qwen,
};
inline constexpr std::size_t kAgentKindCount = 16;

}  // namespace qm
