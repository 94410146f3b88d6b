#include "tz/posix_rule.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <cctz/civil_time.h>
#include <cctz/zone_info_source.h>
#include <fmt/core.h>

namespace qm::tz {
namespace {

// --- parsing ---

bool eat(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

bool ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// A run of digits whose value lies in [lo, hi].
std::optional<int> number(std::string_view& s, int lo, int hi) {
  std::size_t n = 0;
  long value = 0;
  while (n < s.size() && ascii_digit(s[n])) {
    value = value * 10 + (s[n++] - '0');
    if (value > hi) return std::nullopt;
  }
  if (n == 0 || value < lo) return std::nullopt;
  s.remove_prefix(n);
  return static_cast<int>(value);
}

// "EST" (letters) or "<+0330>" (letters, digits, "+", "-"); at least three characters.
std::optional<std::string> abbreviation(std::string_view& s) {
  std::size_t n = 0;
  std::string abbr;
  if (eat(s, '<')) {
    while (n < s.size() && (ascii_alpha(s[n]) || ascii_digit(s[n]) || s[n] == '+' || s[n] == '-')) ++n;
    if (n == s.size() || s[n] != '>') return std::nullopt;
    abbr = s.substr(0, n);
    s.remove_prefix(n + 1);
  } else {
    while (n < s.size() && ascii_alpha(s[n])) ++n;
    abbr = s.substr(0, n);
    s.remove_prefix(n);
  }
  // The zone file indexes abbreviations with one byte.
  if (abbr.size() < 3 || abbr.size() > 254) return std::nullopt;
  return abbr;
}

// [+-]h[:mm[:ss]] in seconds.
std::optional<std::int32_t> clock(std::string_view& s, int max_hours) {
  std::int32_t sign = 1;
  if (eat(s, '-'))
    sign = -1;
  else
    eat(s, '+');
  auto hours = number(s, 0, max_hours);
  if (!hours) return std::nullopt;
  int minutes = 0, seconds = 0;
  if (eat(s, ':')) {
    auto m = number(s, 0, 59);
    if (!m) return std::nullopt;
    minutes = *m;
    if (eat(s, ':')) {
      auto sec = number(s, 0, 59);
      if (!sec) return std::nullopt;
      seconds = *sec;
    }
  }
  return sign * (*hours * 3600 + minutes * 60 + seconds);
}

// A UTC offset as the rule writes it (hours west), returned as seconds east. cctz holds
// offsets strictly within one day, so 24:00:00 itself is refused.
std::optional<std::int32_t> utc_offset(std::string_view& s) {
  auto west = clock(s, 24);
  if (!west || *west <= -86400 || *west >= 86400) return std::nullopt;
  return -*west;
}

std::optional<Change> change(std::string_view& s) {
  Change c;
  if (eat(s, 'J')) {
    auto day = number(s, 1, 365);
    if (!day) return std::nullopt;
    c.day = {.form = ChangeDay::Form::Julian, .day = *day};
  } else if (eat(s, 'M')) {
    auto month = number(s, 1, 12);
    auto week = month && eat(s, '.') ? number(s, 1, 5) : std::nullopt;
    auto weekday = week && eat(s, '.') ? number(s, 0, 6) : std::nullopt;
    if (!weekday) return std::nullopt;
    c.day = {.month = *month, .week = *week, .weekday = *weekday};
  } else {
    auto day = number(s, 0, 365);
    if (!day) return std::nullopt;
    c.day = {.form = ChangeDay::Form::DayOfYear, .day = *day};
  }
  if (eat(s, '/')) {
    auto time = clock(s, 167);
    if (!time) return std::nullopt;
    c.time = *time;
  }
  return c;
}

// --- the calendar of a rule ---

bool leap_year(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

cctz::civil_day change_date(const ChangeDay& d, std::int64_t year) {
  const cctz::civil_day jan1(year, 1, 1);
  switch (d.form) {
    case ChangeDay::Form::Julian:
      return jan1 + (d.day - 1) + (d.day >= 60 && leap_year(year) ? 1 : 0);
    case ChangeDay::Form::DayOfYear:
      return jan1 + d.day;
    case ChangeDay::Form::MonthWeekDay: break;
  }
  const cctz::civil_day first(year, d.month, 1);
  const int first_weekday = (static_cast<int>(cctz::get_weekday(first)) + 1) % 7;  // 0 = Sunday
  cctz::civil_day day = first + (d.weekday - first_weekday + 7) % 7 + 7 * (d.week - 1);
  if (cctz::civil_month(day) != cctz::civil_month(first)) day -= 7;  // week 5: the last one
  return day;
}

// Unix seconds of a change in `year`, given the offset in force before it.
std::int64_t change_time(const Change& c, std::int64_t year, std::int32_t offset_before) {
  const std::int64_t days = change_date(c.day, year) - cctz::civil_day(1970, 1, 1);
  return days * 86400 + c.time - offset_before;
}

// --- the zone file ---

std::string posix_clock(std::int32_t seconds) {
  const std::int32_t s = seconds < 0 ? -seconds : seconds;
  return fmt::format("{}{}:{:02}:{:02}", seconds < 0 ? "-" : "", s / 3600, s / 60 % 60, s % 60);
}

std::string posix_change(const Change& c) {
  std::string day;
  switch (c.day.form) {
    case ChangeDay::Form::Julian: day = fmt::format("J{}", c.day.day); break;
    case ChangeDay::Form::DayOfYear: day = fmt::format("{}", c.day.day); break;
    case ChangeDay::Form::MonthWeekDay:
      day = fmt::format("M{}.{}.{}", c.day.month, c.day.week, c.day.weekday);
      break;
  }
  return day + "/" + posix_clock(c.time);
}

// The rule again, in the one spelling cctz is sure to read back as we read it.
std::string footer(const PosixRule& r) {
  std::string out = fmt::format("<{}>{}", r.abbr, posix_clock(-r.offset));
  if (const auto& d = r.daylight)
    out += fmt::format("<{}>{},{},{}", d->abbr, posix_clock(-d->offset), posix_change(d->start),
                       posix_change(d->end));
  return out;
}

struct LocalType {
  std::int32_t offset;
  bool is_dst;
  std::uint8_t abbr_index;
};

struct Transition {
  std::int64_t at;
  std::uint8_t type;
};

void put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void put64(std::string& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v >> 32));
  put32(out, static_cast<std::uint32_t>(v));
}

// One header and data block, times in 64 bits (the first, 32-bit block is given none:
// our transitions lie before 1901).
void put_block(std::string& out, const std::vector<Transition>& transitions,
               const std::vector<LocalType>& types, const std::string& abbrs) {
  out += "TZif3";
  out.append(15, '\0');
  for (std::size_t count : {std::size_t{0}, std::size_t{0}, std::size_t{0}, transitions.size(),
                            types.size(), abbrs.size()})
    put32(out, static_cast<std::uint32_t>(count));  // isut, isstd, leap, time, type, char
  for (const auto& t : transitions) put64(out, static_cast<std::uint64_t>(t.at));
  for (const auto& t : transitions) out.push_back(static_cast<char>(t.type));
  for (const auto& t : types) {
    put32(out, static_cast<std::uint32_t>(t.offset));
    out.push_back(t.is_dst ? 1 : 0);
    out.push_back(static_cast<char>(t.abbr_index));
  }
  out += abbrs;
}

// cctz continues a footer only after explicit transitions, at least two in one year. The
// changes of two years are written, so that a southern summer is in force on the first
// day of the later one; the rule holds from then on, earlier instants keep standard time.
constexpr int kFirstRuleYear = 1900;
// When every change is written out: past the last date the program formats.
constexpr int kLastWrittenYear = 10000;
// The calendar, and so a rule's changes, repeat every 400 years.
constexpr int kCycleYears = 400;

std::int64_t local_year(std::int64_t unix, std::int32_t offset) {
  return (cctz::civil_second(1970, 1, 1, 0, 0, 0) + (unix + offset)).year();
}

// cctz continues a footer by taking, year after year, the two changes in the order of the
// last explicit year, each year counted in local time. That reads the rule as we do only
// when each year's changes keep to that year's local time, come in the same order every
// year and need no merging.
bool footer_continues(const PosixRule& r) {
  const Daylight& d = *r.daylight;
  const std::int64_t last = kFirstRuleYear + kCycleYears + 1;
  std::vector<ZoneChange> plain;
  for (std::int64_t year = kFirstRuleYear - 1; year <= last; ++year) {
    const ZoneChange start{change_time(d.start, year, r.offset), true};
    const ZoneChange end{change_time(d.end, year, d.offset), false};
    if (local_year(start.at, d.offset) != year || local_year(end.at, r.offset) != year) return false;
    plain.push_back(start.at < end.at ? start : end);
    plain.push_back(start.at < end.at ? end : start);
  }
  if (!plain.front().daylight) plain.erase(plain.begin());  // standard time is in force already
  return plain == zone_changes(r, last);
}

class ImageSource : public cctz::ZoneInfoSource {
 public:
  explicit ImageSource(std::string image) : image_(std::move(image)) {}
  std::size_t Read(void* ptr, std::size_t size) override {
    size = std::min(size, image_.size() - pos_);
    std::memcpy(ptr, image_.data() + pos_, size);
    pos_ += size;
    return size;
  }
  int Skip(std::size_t offset) override {
    if (offset > image_.size() - pos_) return -1;
    pos_ += offset;
    return 0;
  }

 private:
  std::string image_;
  std::size_t pos_ = 0;
};

std::unique_ptr<cctz::ZoneInfoSource> zone_source(
    const std::string& name,
    const std::function<std::unique_ptr<cctz::ZoneInfoSource>(const std::string&)>& fallback) {
  if (auto file = fallback(name)) return file;
  auto rule = parse_posix_rule(name);
  if (!rule) return nullptr;
  return std::make_unique<ImageSource>(tzif_image(*rule));
}

}  // namespace

bool daylight_all_year(const PosixRule& r) {
  if (!r.daylight) return false;
  const Daylight& d = *r.daylight;
  const std::int64_t start = change_time(d.start, kFirstRuleYear, r.offset);
  const std::int64_t end = change_time(d.end, kFirstRuleYear, d.offset);
  return start < end && end >= change_time(d.start, kFirstRuleYear + 1, r.offset);
}

std::vector<ZoneChange> zone_changes(const PosixRule& r, std::int64_t last_year) {
  std::vector<ZoneChange> out;
  if (!r.daylight || daylight_all_year(r)) return out;
  const Daylight& d = *r.daylight;
  struct Event {
    std::int64_t at, year;
    bool daylight;
  };
  std::vector<Event> events;
  for (std::int64_t year = kFirstRuleYear - 1; year <= last_year; ++year) {
    const std::int64_t start = change_time(d.start, year, r.offset), end = change_time(d.end, year, d.offset);
    if (start == end) continue;  // a summer of no length
    events.push_back({start, year, true});
    events.push_back({end, year, false});
  }
  std::ranges::sort(events, {}, [](const Event& e) { return std::pair(e.at, e.year); });
  auto offset = [&](bool daylight) { return daylight ? d.offset : r.offset; };
  bool daylight = false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    // At one instant the later year's change stands: one summer running into the next goes on.
    if (i + 1 < events.size() && events[i + 1].at == e.at) continue;
    if (e.daylight == daylight) continue;
    daylight = e.daylight;
    // A stretch no longer than its offset change would turn the wall clock back to where it
    // stood before it, which no zone can hold: it is left out, with the change into it.
    if (!out.empty() && e.at + offset(daylight) <= out.back().at + offset(out.back().daylight)) {
      out.pop_back();
      continue;
    }
    out.push_back({e.at, daylight});
  }
  return out;
}

std::optional<PosixRule> parse_posix_rule(std::string_view s) {
  PosixRule rule;
  auto abbr = abbreviation(s);
  auto offset = abbr ? utc_offset(s) : std::nullopt;
  if (!offset) return std::nullopt;
  rule.abbr = std::move(*abbr);
  rule.offset = *offset;
  if (s.empty()) return rule;

  Daylight d;
  auto dst_abbr = abbreviation(s);
  if (!dst_abbr) return std::nullopt;
  d.abbr = std::move(*dst_abbr);
  d.offset = rule.offset + 3600;
  if (!s.empty() && s.front() != ',') {
    auto dst_offset = utc_offset(s);
    if (!dst_offset) return std::nullopt;
    d.offset = *dst_offset;
  }
  if (d.offset <= -86400 || d.offset >= 86400) return std::nullopt;
  if (s.empty()) {
    d.start.day = {.month = 3, .week = 2, .weekday = 0};
    d.end.day = {.month = 11, .week = 1, .weekday = 0};
  } else {
    auto start = eat(s, ',') ? change(s) : std::nullopt;
    auto end = start && eat(s, ',') ? change(s) : std::nullopt;
    if (!end || !s.empty()) return std::nullopt;
    d.start = *start;
    d.end = *end;
  }
  rule.daylight = std::move(d);
  return rule;
}

std::string tzif_image(const PosixRule& rule) {
  std::vector<LocalType> types{{rule.offset, false, 0}};
  std::string abbrs = rule.abbr + '\0';
  std::vector<Transition> transitions;
  std::string tail = footer(rule);
  if (const auto& d = rule.daylight; d && daylight_all_year(rule)) {
    // A fixed offset; cctz cannot continue such a footer, and needs none.
    types = {{d->offset, true, 0}};
    abbrs = d->abbr + '\0';
    tail.clear();
  } else if (d) {
    types.push_back({d->offset, true, static_cast<std::uint8_t>(abbrs.size())});
    abbrs += d->abbr + '\0';
    if (footer_continues(rule)) {
      for (std::int64_t year : {kFirstRuleYear - 1, kFirstRuleYear}) {
        transitions.push_back({change_time(d->start, year, rule.offset), 1});
        transitions.push_back({change_time(d->end, year, d->offset), 0});
      }
      std::sort(transitions.begin(), transitions.end(),
                [](const Transition& a, const Transition& b) { return a.at < b.at; });
    } else {
      // Every change written out, and no footer for cctz to continue otherwise.
      for (const ZoneChange& c : zone_changes(rule, kLastWrittenYear))
        transitions.push_back({c.at, static_cast<std::uint8_t>(c.daylight ? 1 : 0)});
      tail.clear();
    }
  }
  std::string image;
  put_block(image, {}, types, abbrs);
  put_block(image, transitions, types, abbrs);
  image += '\n' + tail + '\n';
  return image;
}

}  // namespace qm::tz

// cctz asks this factory for every zone it loads; the shared library's own definition is
// weak, so ours takes its place. Zone files come first; only then is the name a rule.
namespace cctz_extension {
ZoneInfoSourceFactory zone_info_source_factory = qm::tz::zone_source;
}  // namespace cctz_extension
