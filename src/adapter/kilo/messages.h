#pragma once
// The Kilo reader: one record per assistant message with tokens in each data directory's
// "kilo.db", costed by the cost mode against the shared price table.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/loader.h"
#include "pricing/table.h"

namespace qm::kilo {

AgentLoadResult load_kilo_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// provider/model first (unless the provider is "unknown" or "kilo"), then the model.
std::vector<std::string> price_candidates(std::string_view model, std::optional<std::string_view> provider);

}  // namespace qm::kilo
