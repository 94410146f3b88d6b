#pragma once
// The walk over the service's "aggregations" array, apart from reader.h because it needs the
// parser's array types in full.
#include <cstdint>
#include <optional>
#include <string_view>

#include "adapter/cursor/reader.h"
#include "json/strict.h"

namespace qm::cursor::loader {

// The next usable row of an "aggregations" array from `it` on (rows without a model or
// without tokens are passed over); none at the end.
std::optional<CursorUsageEvent> next_aggregation_row(simdjson::dom::array::iterator& it,
                                                     simdjson::dom::array::iterator end, std::string_view label,
                                                     std::int64_t day_start_ms);

}  // namespace qm::cursor::loader
