#pragma once
// The Droid reader: one usage record per session, from the newest settings file of each
// session id in the sessions directories.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"

namespace qm::droid {

struct DroidSessionUsage {
  TokenUsageRaw tokens;  // reconciled with "totalTokens"
  std::string session_id;
  std::string model;
  std::string provider;
  std::int64_t timestamp = 0;
  std::uint64_t reasoning = 0;
};

AgentLoadResult load_droid_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// One settings file: none when it is passed over (vanished, not an object, no usage, no
// time); an error when it cannot be read, is not UTF-8 or is not JSON (its session's usage
// is then not counted, and the reader says so).
std::expected<std::optional<DroidSessionUsage>, std::string> read_settings(const std::filesystem::path& path,
                                                                           json::StrictParser& parser);

}  // namespace qm::droid
