#include "date_utils.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

namespace qm::date_utils {
namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::uint32_t> digits_at(std::string_view s, std::size_t pos, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(s[i] - '0');
  }
  return v;
}

constexpr std::int64_t kMinRepresentableMs = -377705023201000;
constexpr std::int64_t kMaxRepresentableMs = 253402207200000;

}  // namespace

std::optional<CivilDate> civil_date(std::int64_t year, std::int64_t month, std::int64_t day) {
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  if (year < std::numeric_limits<std::int32_t>::min() || year > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int len = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) len = 29;
  if (day > len) return std::nullopt;
  return CivilDate{static_cast<std::int32_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day)};
}

std::optional<CivilDate> parse_ymd(std::string_view t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  auto y = digits_at(t, 0, 4), m = digits_at(t, 5, 2), d = digits_at(t, 8, 2);
  if (!y || !m || !d) return std::nullopt;
  return civil_date(*y, *m, *d);
}

std::int64_t days_from_civil(const CivilDate& date) {
  std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  std::int64_t era = floor_div(y, 400);
  std::int64_t yoe = y - 400 * era;
  std::int64_t m = date.month;
  std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate civil_from_days(std::int64_t days) {
  std::int64_t z = days + 719468;
  std::int64_t era = floor_div(z, 146097);
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  std::int64_t year = yoe + 400 * era + (month <= 2 ? 1 : 0);
  return CivilDate{static_cast<std::int32_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day)};
}

CivilDate add_days(const CivilDate& date, std::int64_t count) { return civil_from_days(days_from_civil(date) + count); }

int weekday(const CivilDate& date) {
  std::int64_t w = (days_from_civil(date) + 4) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

std::string format_ymd(std::int64_t year, unsigned month, unsigned day) {
  if (year >= 0 && year <= 9999 && month <= 99 && day <= 99) {  // every reader formats dates: no printf
    const auto y = static_cast<unsigned>(year);
    const char text[10] = {char('0' + y / 1000),     char('0' + y / 100 % 10), char('0' + y / 10 % 10),
                           char('0' + y % 10),       '-',                      char('0' + month / 10),
                           char('0' + month % 10),   '-',                      char('0' + day / 10),
                           char('0' + day % 10)};
    return std::string(text, sizeof text);
  }
  // The sign counts towards the four-digit width, as in "-005".
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(year), month, day);
  return std::string(buf, static_cast<std::size_t>(n));
}

namespace {
struct UtcParts {
  CivilDate date;
  unsigned hour, minute, second, milli;
};
UtcParts utc_parts(std::int64_t ms) {
  std::int64_t seconds = ms / 1000, rem = ms % 1000;
  if (rem < 0) {  // floor division without overflow, even at the smallest value
    rem += 1000;
    --seconds;
  }
  auto milli = static_cast<unsigned>(rem);
  std::int64_t day = floor_div(seconds, 86400);
  auto sod = static_cast<unsigned>(seconds - day * 86400);
  return {civil_from_days(day), sod / 3600, sod / 60 % 60, sod % 60, milli};
}
}  // namespace

std::string utc_date_from_ms(std::int64_t ms) { return format_ymd(utc_parts(ms).date); }

std::string format_timestamp_ms(std::int64_t ms) {
  auto p = utc_parts(ms);
  char buf[32];
  std::snprintf(buf, sizeof buf, "T%02u:%02u:%02u.%03uZ", p.hour, p.minute, p.second, p.milli);
  return format_ymd(p.date) + buf;
}

std::optional<std::int64_t> parse_timestamp_ms(std::string_view t) {
  std::size_t n = t.size();
  bool frac = n == 24 || n == 29;
  bool offset = n == 25 || n == 29;
  if (n != 20 && n != 24 && n != 25 && n != 29) return std::nullopt;
  if (t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':') return std::nullopt;
  auto y = digits_at(t, 0, 4), mo = digits_at(t, 5, 2), d = digits_at(t, 8, 2);
  auto h = digits_at(t, 11, 2), mi = digits_at(t, 14, 2), s = digits_at(t, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  auto date = civil_date(*y, *mo, *d);
  if (!date || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  std::uint32_t milli = 0;
  std::size_t zpos = 19;
  if (frac) {
    if (t[19] != '.') return std::nullopt;
    auto f = digits_at(t, 20, 3);
    if (!f) return std::nullopt;
    milli = *f;
    zpos = 23;
  }
  std::int64_t offset_ms = 0;
  if (offset) {
    char sign = t[zpos];
    if ((sign != '+' && sign != '-') || t[zpos + 3] != ':') return std::nullopt;
    auto oh = digits_at(t, zpos + 1, 2), om = digits_at(t, zpos + 4, 2);
    if (!oh || !om) return std::nullopt;
    offset_ms = (static_cast<std::int64_t>(*oh) * 60 + *om) * 60000;
    if (sign == '-') offset_ms = -offset_ms;
  } else if (t[zpos] != 'Z') {
    return std::nullopt;
  }
  std::int64_t result;
  if (__builtin_mul_overflow(days_from_civil(*date), std::int64_t{86400000}, &result)) return std::nullopt;
  std::int64_t tod = static_cast<std::int64_t>(*h) * 3600000 + *mi * 60000 + *s * 1000 + milli;
  if (__builtin_add_overflow(result, tod, &result)) return std::nullopt;
  if (__builtin_sub_overflow(result, offset_ms, &result)) return std::nullopt;
  return result;
}

std::optional<cctz::time_zone> find_time_zone(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  cctz::time_zone tz;
  if (!cctz::load_time_zone(*name, &tz)) return std::nullopt;
  return tz;
}

cctz::time_zone system_zone() { return cctz::local_time_zone(); }

cctz::time_zone report_zone(const std::optional<std::string>& name) {
  if (auto tz = find_time_zone(name)) return *tz;
  return system_zone();
}

CivilDate local_civil_date(std::int64_t ms, const cctz::time_zone& zone) {
  if (ms < kMinRepresentableMs || ms > kMaxRepresentableMs) return utc_parts(ms).date;
  using namespace std::chrono;
  auto tp = time_point<system_clock, milliseconds>(milliseconds(ms));
  auto cs = cctz::convert(floor<cctz::seconds>(tp), zone);  // before 1970 too
  return CivilDate{static_cast<std::int32_t>(cs.year()), static_cast<std::uint8_t>(cs.month()),
                   static_cast<std::uint8_t>(cs.day())};
}

std::optional<std::int64_t> local_midnight_ms(const CivilDate& date, const cctz::time_zone& zone) {
  const auto instant = zone.lookup(cctz::civil_second(date.year, date.month, date.day)).pre;
  const std::int64_t seconds = instant.time_since_epoch().count();
  std::int64_t ms = 0;
  if (__builtin_mul_overflow(seconds, std::int64_t{1000}, &ms)) return std::nullopt;
  if (ms < kMinRepresentableMs || ms > kMaxRepresentableMs) return std::nullopt;
  return ms;
}

std::string format_local_date(std::int64_t ms, const cctz::time_zone& zone) {
  return format_ymd(local_civil_date(ms, zone));
}

std::string format_local_date(std::int64_t ms, const std::optional<cctz::time_zone>& zone) {
  return format_local_date(ms, zone ? *zone : system_zone());
}

CivilDate LocalDays::civil_date(std::int64_t ms) {
  if (ms >= from_ms_ && ms < to_ms_) return date_;
  // Kept only within the years in which the zone's transitions are well defined.
  constexpr std::int64_t kLastKeptMs = std::int64_t{1} << 42;  // in 2109
  if (ms < 0 || ms >= kLastKeptMs) return local_civil_date(ms, zone_);
  using namespace std::chrono;
  using Seconds = time_point<system_clock, seconds>;
  const Seconds tp{seconds(ms / 1000)};
  const auto local = zone_.lookup(tp);
  const CivilDate date{static_cast<std::int32_t>(local.cs.year()), static_cast<std::uint8_t>(local.cs.month()),
                       static_cast<std::uint8_t>(local.cs.day())};
  // The day at this offset, cut at the offset changes before and after the instant.
  const std::int64_t since_midnight = local.cs.hour() * 3600 + local.cs.minute() * 60 + local.cs.second();
  std::int64_t from = tp.time_since_epoch().count() - since_midnight, to = from + 86400;
  auto instant = [&](const cctz::time_zone::civil_transition& t) {
    return zone_.lookup(t.to).trans.time_since_epoch().count();
  };
  cctz::time_zone::civil_transition change;
  if (zone_.prev_transition(tp + seconds(1), &change)) from = std::max(from, instant(change));
  if (zone_.next_transition(tp, &change)) to = std::min(to, instant(change));
  from_ms_ = from * 1000;
  to_ms_ = to * 1000;
  date_ = date;
  return date;
}

std::int64_t now_ms() {
  using namespace std::chrono;
  auto d = system_clock::now().time_since_epoch();
  if (d.count() < 0) return 0;
  auto ms = duration_cast<milliseconds>(d).count();
  return ms;
}

}  // namespace qm::date_utils
