#pragma once
// Calendar arithmetic on "YYYY-MM-DD" dates and millisecond instants, and the report time zone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <cctz/time_zone.h>

namespace qm::date_utils {

struct CivilDate {
  std::int32_t year = 1970;
  std::uint8_t month = 1;
  std::uint8_t day = 1;
  bool operator==(const CivilDate&) const = default;
};

std::optional<CivilDate> civil_date(std::int64_t year, std::int64_t month, std::int64_t day);
std::optional<CivilDate> parse_ymd(std::string_view text);
std::int64_t days_from_civil(const CivilDate& date);
CivilDate civil_from_days(std::int64_t days);
CivilDate add_days(const CivilDate& date, std::int64_t count);
int weekday(const CivilDate& date);  // 0 = Sunday
std::string format_ymd(std::int64_t year, unsigned month, unsigned day);
inline std::string format_ymd(const CivilDate& d) { return format_ymd(d.year, d.month, d.day); }

std::string utc_date_from_ms(std::int64_t ms);
std::string format_timestamp_ms(std::int64_t ms);
std::optional<std::int64_t> parse_timestamp_ms(std::string_view text);

// The zone of that name, or none when there is no name or the library does not know it.
std::optional<cctz::time_zone> find_time_zone(const std::optional<std::string>& name);
// The report time zone of a run: the named zone when known, else the system zone.
cctz::time_zone report_zone(const std::optional<std::string>& name);
cctz::time_zone system_zone();

// "YYYY-MM-DD" of the instant in the zone (the system zone when none is given).
std::string format_local_date(std::int64_t ms, const std::optional<cctz::time_zone>& zone);
std::string format_local_date(std::int64_t ms, const cctz::time_zone& zone);

// Today's civil date in the zone.
CivilDate local_civil_date(std::int64_t ms, const cctz::time_zone& zone);

// The first instant of the date in the zone, in milliseconds. A midnight that a clock change
// skips or repeats is read with the offset in force before the change. None outside the
// years the zone library handles.
std::optional<std::int64_t> local_midnight_ms(const CivilDate& date, const cctz::time_zone& zone);

// The local dates of many instants that mostly fall on a few days (the lines of one log):
// each answer is kept with the instants that share it (the day at the offset then in
// force), and those need no zone arithmetic again. One per thread.
class LocalDays {
 public:
  explicit LocalDays(const cctz::time_zone& zone) : zone_(zone) {}
  // local_civil_date(ms, zone).
  CivilDate civil_date(std::int64_t ms);

 private:
  cctz::time_zone zone_;
  std::int64_t from_ms_ = 0, to_ms_ = 0;  // the instants of date_; none at first
  CivilDate date_;
};

std::int64_t now_ms();

}  // namespace qm::date_utils
