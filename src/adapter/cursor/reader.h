#pragma once
// The Cursor reader: Cursor keeps no usage on disk, so its dashboard service is asked, one
// day of the report time zone at a time, for the usage aggregated per model.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "date_utils.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"

namespace qm::cursor::loader {

// One aggregation row of one day.
struct CursorUsageEvent {
  bool has_recorded_cost = false;  // the service gave a positive cost
  double recorded_cost = 0.0;      // dollars
  std::string label;               // the day, "YYYY-MM-DD"
  std::string model;
  std::int64_t day_start_ms = 0;
  TokenUsageRaw tokens;  // its cache writes as cache creation
};

AgentLoadResult load_cursor_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);
// The same with "today" taken from `now_ms`.
AgentLoadResult load_cursor_usage_at(std::int64_t now_ms, const all::loader::LoadOptions& options,
                                     const pricing::PricingTable& table);

// "YYYYMMDD" (dashes anywhere are ignored) as a valid date; none for anything else.
std::optional<date_utils::CivilDate> parse_compact_date(const std::optional<std::string>& text);

// A token count however the service writes it: missing, negative or unreadable is 0, a
// fraction is dropped, a number beyond the range is the largest count.
std::uint64_t json_count(std::optional<json::element> v);

// The names a model is priced under, in order: the model, without "cursor-", then with its
// effort and speed suffixes cut off one by one.
std::vector<std::string> price_candidates(std::string_view model);

}  // namespace qm::cursor::loader
