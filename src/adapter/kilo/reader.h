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
#include "reader/seen.h"
#include "pricing/table.h"

namespace qm::kilo {

AgentLoadResult load_kilo_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// provider/model first (unless the provider is "unknown" or "kilo"), then the model.
std::vector<std::string> price_candidates(std::string_view model, std::optional<std::string_view> provider);

// The record id of a row whose message has none of its own is the database's path, ":" and
// the row's id: the path's part of it, hashed once a database.
struct RowKeys {
  std::string prefix;
  reader::KeyHasher hashed;

  explicit RowKeys(const std::filesystem::path& db);
};

// What the data of a row of the database of `keys` gives under the cost mode: an assistant
// message with tokens, a model and a time, its texts kept in `kept`; none for any other.
std::optional<opencode::message::Counted> count_message(const RowKeys& keys, std::string_view id_column,
                                                        json::element data, CostMode mode,
                                                        opencode::message::RecentPrices& prices,
                                                        reader::KeptTexts& kept);

}  // namespace qm::kilo
