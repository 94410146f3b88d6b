#pragma once
// The Kilo reader: one record per assistant message with tokens in each data directory's
// "kilo.db", costed by the cost mode against the shared price table.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/opencode/message.h"
#include "reader/prices.h"
#include "pricing/table.h"

namespace qm::kilo {

AgentLoadResult load_kilo_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// provider/model first (unless the provider is "unknown" or "kilo"), then the model.
std::vector<std::string> price_candidates(std::string_view model, std::optional<std::string_view> provider);

// What the data of a row of the database `db` gives under the cost mode: an assistant
// message with tokens, a model and a time, its texts kept in `kept` (`key` is scratch room
// for its record id); none for any other.
std::optional<opencode::message::Counted> count_message(const std::filesystem::path& db, std::string_view id_column,
                                                        json::element data, CostMode mode,
                                                        opencode::message::RecentPrices& prices, std::string& key,
                                                        reader::KeptTexts& kept);

}  // namespace qm::kilo
