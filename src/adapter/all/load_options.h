#pragma once
// What every reader is given: the options of the run and the report time zone, and the date
// range they bound.
#include <optional>
#include <string>
#include <string_view>

#include <cctz/time_zone.h>

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
bool row_in_date_range(const DateRange& range, const std::optional<std::string>& date);
bool entry_in_date_range(const DateRange& range, const std::optional<std::string>& date);

// The options with JSON forced on (so no reader draws), and the report time zone resolved
// once for the run.
struct LoadOptions {
  CommonOptions common;
  cctz::time_zone zone;

  DateRange range() const { return DateRange::from(common); }
};
LoadOptions make_load_options(const CommonOptions& options);

// Whether a reader's records are sorted by time before they are grouped, or kept as read.
enum class RecordOrder { ByTime, AsRead };

}  // namespace qm::all::loader
