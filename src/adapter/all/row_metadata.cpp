#include "adapter/all/row_metadata.h"

#include <nlohmann/json.hpp>

#include "output.h"

namespace qm::all::types {

nlohmann::json metadata_json(const std::optional<RowMetadata>& metadata) {
  if (!metadata) return nullptr;
  nlohmann::json out = nlohmann::json::object();
  if (metadata->credits) out["credits"] = output::json_number(*metadata->credits);
  if (const auto& codex = metadata->codex) {
    out["lastActivity"] = codex->last_activity ? nlohmann::json(*codex->last_activity) : nlohmann::json(nullptr);
    out["reasoningOutputTokens"] = codex->reasoning_output_tokens;
  }
  return out;
}

}  // namespace qm::all::types
