#pragma once
// The agent loading framework and the date-range filter.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"
#include "options.h"

namespace qm::all::loader {

struct DateRange {
  std::optional<std::string> since;  // dashes removed
  std::optional<std::string> until;  // dashes removed, inclusive

  static DateRange from(const CommonOptions& o) { return {o.since, o.until}; }
  bool unbounded() const { return !since && !until; }
};

// Bounds compare as texts, byte by byte, against the date with its dashes removed.
bool in_date_range(const DateRange& range, std::string_view date);
void filter_records_by_date(std::vector<UsageRecord>& records, const DateRange& range);
bool row_in_date_range(const DateRange& range, const std::optional<std::string>& date);
bool entry_in_date_range(const DateRange& range, const std::optional<std::string>& date);

}  // namespace qm::all::loader
