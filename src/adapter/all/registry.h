#pragma once
// The one table of the agents: kind, id word, display name, colours and reader of each, in
// kind order, which is the order of the load.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "adapter/all/agent_kind.h"
#include "adapter/all/types.h"

namespace qm::pricing {
struct PricingTable;
}
namespace qm::all::loader {
struct LoadOptions;
}

namespace qm::all::registry {

// Every reader takes the load options and the shared price table; those that price from a
// table of their own (claude, opencode, qwen) leave the shared one alone.
using Reader = AgentLoadResult (*)(const loader::LoadOptions& options, const pricing::PricingTable& prices);

struct Agent {
  AgentKind kind;
  std::string_view id;
  std::string_view display_name;
  std::uint8_t color_index;    // terminal colour
  std::string_view page_color;  // the HTML report's
  Reader reader;
};

// All of them, in kind order.
std::span<const Agent> agents();
const Agent& agent(AgentKind kind);
std::optional<AgentKind> agent_kind_from_id(std::string_view id);

// The display name of an agent id, "All" for "all", any other word as it is.
std::string_view agent_display_name(std::string_view word);
// The colour index of an agent id; 1 for a word that names no agent.
std::uint8_t agent_color(std::string_view agent_id);
// The HTML colour of an agent id; grey for a word that names no agent.
std::string_view agent_page_color(std::string_view agent_id);

}  // namespace qm::all::registry
