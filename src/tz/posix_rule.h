#pragma once
// Zones written as POSIX TZ rules ("EST5EDT,M3.2.0,M11.1.0", "JST-9", "<+0330>-3:30").
// cctz reads only zone files, so a name that is no zone file is parsed here and served to
// cctz as an in-memory zone file; linking this module is all it takes, after which
// cctz::load_time_zone and cctz::local_time_zone (TZ) accept such rules.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::tz {

// The day of a change: "Jn" (1 to 365, February 29 never counted), "n" (0 to 365,
// February 29 counted) or "Mm.w.d" (week 1 to 5, 5 = the last; weekday 0 = Sunday).
struct ChangeDay {
  enum class Form : std::uint8_t { Julian, DayOfYear, MonthWeekDay };
  Form form = Form::MonthWeekDay;
  int day = 0;  // Julian, DayOfYear
  int month = 1;
  int week = 1;
  int weekday = 0;
};

// A change happens on `day` at `time` seconds after midnight of the wall clock in force
// before it (-167 to 167 hours; 02:00 when the rule gives no time).
struct Change {
  ChangeDay day;
  std::int32_t time = 2 * 3600;
};

struct Daylight {
  std::string abbr;
  std::int32_t offset = 0;  // seconds east of UTC
  Change start, end;
};

struct PosixRule {
  std::string abbr;
  std::int32_t offset = 0;  // seconds east of UTC (the rule text counts west)
  std::optional<Daylight> daylight;  // none: a fixed offset
};

// The rule in `text`, or none when it is not a complete, valid rule. A daylight name
// without dates takes "M3.2.0,M11.1.0", the C library's choice when it has no
// "posixrules" file.
std::optional<PosixRule> parse_posix_rule(std::string_view text);

// A change of the zone at `at` (Unix seconds), to daylight time or back to standard time.
struct ZoneChange {
  std::int64_t at = 0;
  bool daylight = false;
  bool operator==(const ZoneChange&) const = default;
};

// Whether the rule keeps daylight time all year ("0/0,J365/25" in zone files): no standard
// time is left between one year's end of daylight time and the next year's start.
bool daylight_all_year(const PosixRule& rule);

// The changes of the rule's years 1899 to `last_year`, as the zone makes them: in time
// order (at one instant the later year's change stands), each to the other kind of time,
// standard time before the first. A summer of no length, or a stretch no longer than its
// offset change (the wall clock would turn back past where it stood), is left out. None
// without daylight time or with daylight time all year.
std::vector<ZoneChange> zone_changes(const PosixRule& rule, std::int64_t last_year);

// A TZif (version 3) image of the rule that cctz loads: the rule as footer, plus the
// explicit transitions cctz needs before it extends a footer by itself; or, for a rule
// that cctz would continue otherwise than `zone_changes` reads it, every change up to
// year 10000 and no footer.
std::string tzif_image(const PosixRule& rule);

}  // namespace qm::tz
