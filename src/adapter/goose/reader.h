#pragma once
// The Goose reader: one record per session row of Goose's sessions databases, always priced
// from the table (Goose records no money amount).
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
#include "reader/sqlite.h"

namespace qm::goose::parser {

AgentLoadResult load_goose_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// The sessions database below GOOSE_PATH_ROOT when it is set, else the default places; each
// made canonical, kept when it is a regular file, once.
std::expected<std::vector<std::filesystem::path>, std::string> session_dbs();
// The default places below the home directory: Goose's data directory under
// ~/.local/share, the same under $XDG_DATA_HOME, and the one with the maker's name.
std::expected<std::vector<std::filesystem::path>, std::string> session_db_candidates();

// The column's integer value (SQLite's conversion) when above 0.
template <typename Row>
std::optional<std::int64_t> column_positive_i64(const Row& row, int column) {
  const std::int64_t v = row.int64(column);
  if (v > 0) return v;
  return std::nullopt;
}

// created_at as milliseconds: an integer of seconds or milliseconds, an RFC 3339 time, a
// date, or a date and time without a zone (taken as UTC).
std::optional<std::int64_t> created_at_ms(std::string_view text);

// The provider name as given (dashes made underscores), else the maker the model's name shows.
std::string provider_for(std::string_view model, std::optional<std::string_view> provider_name);

}  // namespace qm::goose::parser
