#pragma once
// Agent rows and merged runs for the summary's tests.
#include <string>
#include <utility>
#include <vector>

#include "adapter/all/loader.h"
#include "adapter/all/types.h"

namespace qm::all::testing {

// One agent's row of a day; its tokens are all input, shared evenly among its models.
inline UsageRow part(std::string agent, std::string label, double cost, std::uint64_t tokens,
                     std::vector<std::pair<std::string, double>> models) {
  UsageRow r;
  r.agent_id = agent;
  r.agents = {agent};
  r.label = std::move(label);
  r.cost = cost;
  r.input = tokens;
  r.total = tokens;
  for (auto& [m, c] : models) {
    r.models.push_back(m);
    r.model_usages.push_back(ModelUsage{m, tokens / models.size(), 0, 0, 0, 0, c});
  }
  return r;
}

// Two days of Claude, Codex and Cursor usage, merged as the framework merges them.
inline std::vector<UsageRow> sample_rows() {
  return loader::merge_rows_by_label({
      part("claude", "2026-01-05", 12.5, 1'500'000, {{"claude-sonnet-4-5", 10.0}, {"claude-haiku-4-5", 2.5}}),
      part("codex", "2026-01-05", 3.0, 250'000, {{"gpt-5-codex", 3.0}}),
      part("cursor", "2026-01-06", 1.25, 40'000, {{"Auto", 0.75}, {"autopilot", 0.5}}),
      part("claude", "2026-01-06", 0.0, 999, {{"modèle-été", 0.0}}),
  });
}

}  // namespace qm::all::testing
