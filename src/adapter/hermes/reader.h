#pragma once
// The Hermes reader: one record per session row of Hermes's state databases, at its recorded
// cost when that is above 0, else priced from the table.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "pricing/table.h"
#include "reader/row_workers.h"

namespace qm::hermes {

AgentLoadResult load_hermes_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// "state.db" in each root (HERMES_HOME's entries, else ~/.hermes) that is a regular file, once.
std::expected<std::vector<std::filesystem::path>, std::string> state_dbs();

// SQLite's integer conversion, below 0 raised to 0.
std::int64_t column_non_negative_i64(const reader::RowView& row, int column);
// SQLite's float conversion; below 0 or not finite it is 0 (an infinite cost would swamp
// the totals).
double column_f64(const reader::RowView& row, int column);

// started_at as milliseconds: above 10^12 it is milliseconds already, else seconds; none
// unless the time is after 1970 and fits.
std::optional<std::int64_t> started_at_ms(double value);

// The provider prefix of the price names: the billing provider's, else the maker the
// model's name shows, else "hermes".
std::string price_prefix(std::string_view model, std::optional<std::string_view> billing_provider);
// prefix/model (not for "hermes"), then the model.
std::vector<std::string> price_candidates(std::string_view model, std::string_view prefix);

}  // namespace qm::hermes
