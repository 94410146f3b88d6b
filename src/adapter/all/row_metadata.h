#pragma once
// A row's metadata as the JSON object it stands for: {"credits": n} for a day with credits,
// {"lastActivity": text or null, "reasoningOutputTokens": n} for a Codex day; null for none.
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "adapter/all/types.h"

namespace qm::all::types {

nlohmann::json metadata_json(const std::optional<RowMetadata>& metadata);

}  // namespace qm::all::types
