#pragma once
// The option records that the command line fills and every other module reads.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config_override.h"

namespace qm {

enum class CostMode : std::uint8_t { Auto = 0, Calculate = 1, Display = 2 };
enum class SortOrder : std::uint8_t { Desc = 0, Asc = 1 };
enum class SummaryRange : std::uint8_t { Today = 0, Yesterday = 1, Wtd = 2, Mtd = 3, Ytd = 4, Week = 5, Month = 6 };

// A date bound as `since` and `until` keep it: the written date with every "-" removed.
inline std::string date_bound(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '-') out += c;
  return out;
}

struct CommonOptions {
  std::vector<std::string> agents;  // first-seen order, no duplicates; empty = every agent
  std::optional<std::string> since;  // dashes removed
  std::optional<std::string> until;  // dashes removed, inclusive
  std::optional<std::string> timezone;
  std::optional<std::string> jq;
  std::optional<std::string> config;
  std::uint64_t debug_samples = 5;
  std::map<std::string, ConfigPricingOverride> pricing_overrides;
  bool json = false;
  bool debug = false;
  SortOrder order = SortOrder::Asc;
  bool breakdown = false;
  bool offline = false;
  bool no_offline = false;
  bool color = false;
  bool no_color = false;
  bool compact = false;
  bool single_thread = false;
  bool no_cost = false;
  CostMode mode = CostMode::Auto;

  bool operator==(const CommonOptions&) const = default;
};

struct SummaryArgs {
  CommonOptions common;
  std::optional<std::string> claude_plan;
  std::optional<std::string> codex_plan;
  std::optional<std::string> cursor_plan;
  std::optional<std::string> harness_agent;  // "codex" or "claude", harness command only
  bool value = false;
  bool html = false;
  bool chart = false;
  std::optional<SummaryRange> range;

  bool operator==(const SummaryArgs&) const = default;
};

}  // namespace qm
