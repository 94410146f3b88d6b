#include "tz/posix_rule.h"

#include <time.h>

#include <algorithm>
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>
#include <filesystem>
#include <fmt/core.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kit/env.h"

namespace qm::tz {
namespace {

using Instant = cctz::time_point<cctz::seconds>;

constexpr std::int64_t k1970 = 0;
constexpr std::int64_t k2100 = 4102444800;  // 2100-01-01T00:00:00Z

Instant at(std::int64_t unix) { return Instant() + cctz::seconds(unix); }
std::int64_t unix_of(Instant t) { return t.time_since_epoch().count(); }
Instant utc(int y, int mo, int d, int h, int mi, int s) {
  return cctz::convert(cctz::civil_second(y, mo, d, h, mi, s), cctz::utc_time_zone());
}

// Local time, offset, daylight flag and abbreviation, as one comparable text.
std::string describe(const cctz::civil_second& cs, long offset, bool dst, const std::string& abbr) {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02} {} {} {}", cs.year(), cs.month(), cs.day(),
                     cs.hour(), cs.minute(), cs.second(), offset, dst ? "dst" : "std", abbr);
}

std::string glibc_local(std::int64_t unix) {
  const time_t t = unix;
  struct tm tm {};
  localtime_r(&t, &tm);
  const cctz::civil_second cs(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                              tm.tm_sec);
  return describe(cs, tm.tm_gmtoff, tm.tm_isdst > 0, tm.tm_zone);
}

std::string cctz_local(const cctz::time_zone& zone, std::int64_t unix) {
  const auto al = zone.lookup(at(unix));
  return describe(al.cs, al.offset, al.is_dst, al.abbr);
}

std::string glibc_state(std::int64_t unix) {
  const time_t t = unix;
  struct tm tm {};
  localtime_r(&t, &tm);
  return fmt::format("{} {} {}", tm.tm_gmtoff, tm.tm_isdst, tm.tm_zone);
}

// Every change of offset, daylight flag or abbreviation that glibc makes in [from, to),
// found in six-hour steps and narrowed to the second.
std::set<std::int64_t> glibc_transitions(std::int64_t from, std::int64_t to) {
  std::set<std::int64_t> found;
  std::string state = glibc_state(from);
  for (std::int64_t t = from + 6 * 3600; t < to; t += 6 * 3600) {
    std::string now = glibc_state(t);
    if (now == state) continue;
    std::int64_t lo = t - 6 * 3600, hi = t;  // state at lo, something else at hi
    while (hi - lo > 1) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      (glibc_state(mid) == state ? lo : hi) = mid;
    }
    found.insert(hi);
    state = std::move(now);
  }
  return found;
}

std::set<std::int64_t> cctz_transitions(const cctz::time_zone& zone, std::int64_t from, std::int64_t to) {
  std::set<std::int64_t> found;
  cctz::time_zone::civil_transition trans;
  for (Instant t = at(from); zone.next_transition(t, &trans);) {
    t = zone.lookup(trans.to).post;  // the instant of the change
    if (unix_of(t) >= to) break;
    found.insert(unix_of(t));
  }
  return found;
}

// Rules of every form: both hemispheres, half-hour and large offsets, Jn, n and /time.
const char* const kRules[] = {
    "EST5EDT,M3.2.0,M11.1.0",                        // the US
    "CET-1CEST,M3.5.0,M10.5.0/3",                    // Europe, default 02:00 start
    "AEST-10AEDT,M10.1.0,M4.1.0/3",                  // southern hemisphere
    "NZST-12NZDT,M9.5.0,M4.1.0/3",                   // southern, large offset
    "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45",  // minutes in offsets and times
    "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",          // daylight offset of half an hour
    "<+0330>-3:30<+0430>,J79/24,J263/24",            // Jn days, /24
    "<-0330>3:30<-0230>,59/2,300/2",                 // zero-based days, February 29 counted
    "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",              // negative times
    "IST-2IDT,M3.4.4/26,M10.5.0",                    // a time past midnight
    "AMT-0:19:32NST-1:19:32,M3.5.0/1:02:03,M10.5.0/3:04:05",  // seconds
    "CST5CDT,M3.2.0/0,M11.1.0/1",                    // midnight skipped and repeated
    "JST-9",
    "<+0330>-3:30",
    "<+14>-14",
    "<-12>12",
    "<+2359>-23:59",
};

// glibc's own POSIX-rule code is the reference: TZ is set to the rule itself, and the zone
// cctz builds from our image must agree at random instants and on both sides of every
// change from 1970 to 2100. glibc reads TZ without locks, so everything that sets it for
// glibc stays in this one test.
TEST(PosixRule, AgreesWithTheCLibrary) {
  const char* iana_zones[] = {"America/New_York", "Europe/Paris", "America/Sao_Paulo"};

  std::mt19937_64 random(20240310);
  std::uniform_int_distribution<std::int64_t> instant(k1970, k2100 - 1);
  auto compare = [&](const std::string& name, bool rule) {
    kit::EnvGuard env;
    env.set("TZ", name).set("TZDIR", "/usr/share/zoneinfo");
    tzset();
    cctz::time_zone zone;
    ASSERT_TRUE(cctz::load_time_zone(name, &zone)) << name;

    const auto from_glibc = glibc_transitions(k1970, k2100);
    const auto from_cctz = cctz_transitions(zone, k1970, k2100);
    if (rule) {
      EXPECT_EQ(from_glibc, from_cctz) << name;
    }
    std::vector<std::int64_t> probes;
    for (const auto& set : {from_glibc, from_cctz})
      for (std::int64_t t : set) probes.insert(probes.end(), {t - 1, t, t + 1});
    for (int i = 0; i < 20000; ++i) probes.push_back(instant(random));

    int failures = 0;
    for (std::int64_t t : probes) {
      const auto want = glibc_local(t);
      const auto got = cctz_local(zone, t);
      if (want != got) {
        ADD_FAILURE() << name << " at " << t << ": glibc " << want << ", cctz " << got;
        if (++failures == 5) break;
      }
    }
  };
  for (const char* rule : kRules) compare(rule, true);
  for (const char* zone : iana_zones) compare(zone, false);
  tzset();  // the guard has put TZ back
}

// The changes we write out for the first year of the rule (cctz computes the later ones
// from the footer) fall where the rule puts them: 400 years on, the calendar repeats, and
// cctz's own changes of 2300 must be ours of 1900 shifted by that cycle.
TEST(PosixRule, FirstYearFollowsTheRule) {
  constexpr std::int64_t kCycle = 146097LL * 86400;
  const std::int64_t y1900 = unix_of(utc(1900, 1, 1, 0, 0, 0)), y1901 = unix_of(utc(1901, 1, 1, 0, 0, 0));
  for (const char* rule : kRules) {
    cctz::time_zone zone;
    ASSERT_TRUE(cctz::load_time_zone(rule, &zone)) << rule;
    std::set<std::int64_t> shifted;
    for (std::int64_t t : cctz_transitions(zone, y1900 - 86400, y1901 + 86400)) shifted.insert(t + kCycle);
    EXPECT_EQ(shifted, cctz_transitions(zone, y1900 + kCycle - 86400, y1901 + kCycle + 86400)) << rule;
    EXPECT_EQ(shifted.size(), parse_posix_rule(rule)->daylight ? 2u : 0u) << rule;
  }
}

// A daylight name without dates keeps the US dates; daylight time all year ("0/0,J365/25",
// as zone files write it) is one fixed offset. glibc is no reference for either: it takes
// the former from its "posixrules" file and leaves the first hours of each UTC year in
// standard time for the latter.
TEST(PosixRule, DefaultDatesAndAllYearDaylight) {
  cctz::time_zone bare, spelled, always;
  ASSERT_TRUE(cctz::load_time_zone("AAA3BBB", &bare));
  ASSERT_TRUE(cctz::load_time_zone("AAA3BBB,M3.2.0/2,M11.1.0/2", &spelled));
  ASSERT_TRUE(cctz::load_time_zone("EST5EDT4,0/0,J365/25", &always));
  std::mt19937_64 random(7);
  std::uniform_int_distribution<std::int64_t> instant(k1970, k2100 - 1);
  for (int i = 0; i < 2000; ++i) {
    const std::int64_t t = instant(random);
    ASSERT_EQ(cctz_local(bare, t), cctz_local(spelled, t)) << t;
    const auto al = always.lookup(at(t));
    ASSERT_EQ(al.offset, -4 * 3600) << t;
    ASSERT_TRUE(al.is_dst) << t;
    ASSERT_STREQ(al.abbr, "EDT") << t;
  }
  EXPECT_EQ(always.lookup(utc(2024, 1, 1, 0, 0, 0)).offset, -4 * 3600);
  EXPECT_EQ(bare.lookup(utc(2024, 7, 1, 0, 0, 0)).offset, -2 * 3600);
}

// The system zone as TZ names it, through cctz::local_time_zone, on both sides of the
// daylight-saving changes.
TEST(PosixRule, SystemZoneAcrossDaylightChanges) {
  struct Case {
    const char* tz;
    Instant instant;
    const char* local;  // describe() of the local time
  } cases[] = {
      {"America/New_York", utc(2024, 3, 10, 6, 59, 59), "2024-03-10T01:59:59 -18000 std EST"},
      {"America/New_York", utc(2024, 3, 10, 7, 0, 0), "2024-03-10T03:00:00 -14400 dst EDT"},
      {"America/New_York", utc(2024, 11, 3, 5, 59, 59), "2024-11-03T01:59:59 -14400 dst EDT"},
      {"America/New_York", utc(2024, 11, 3, 6, 0, 0), "2024-11-03T01:00:00 -18000 std EST"},
      {":Europe/Paris", utc(2024, 3, 31, 0, 59, 59), "2024-03-31T01:59:59 3600 std CET"},
      {"Europe/Paris", utc(2024, 3, 31, 1, 0, 0), "2024-03-31T03:00:00 7200 dst CEST"},
      {"Europe/Paris", utc(2024, 10, 27, 0, 59, 59), "2024-10-27T02:59:59 7200 dst CEST"},
      {"Europe/Paris", utc(2024, 10, 27, 1, 0, 0), "2024-10-27T02:00:00 3600 std CET"},
      {"America/Sao_Paulo", utc(2018, 11, 4, 2, 59, 59), "2018-11-03T23:59:59 -10800 std -03"},
      {"America/Sao_Paulo", utc(2018, 11, 4, 3, 0, 0), "2018-11-04T01:00:00 -7200 dst -02"},
      {"America/Sao_Paulo", utc(2019, 2, 17, 1, 59, 59), "2019-02-16T23:59:59 -7200 dst -02"},
      {"America/Sao_Paulo", utc(2019, 2, 17, 2, 0, 0), "2019-02-16T23:00:00 -10800 std -03"},
      {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 3, 10, 6, 59, 59), "2024-03-10T01:59:59 -18000 std EST"},
      {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 3, 10, 7, 0, 0), "2024-03-10T03:00:00 -14400 dst EDT"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 4, 6, 15, 59, 59), "2024-04-07T02:59:59 39600 dst AEDT"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 4, 6, 16, 0, 0), "2024-04-07T02:00:00 36000 std AEST"},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 10, 5, 16, 0, 0), "2024-10-06T03:00:00 39600 dst AEDT"},
      {"JST-9", utc(2024, 12, 31, 15, 0, 0), "2025-01-01T00:00:00 32400 std JST"},
      {"<-0330>3:30", utc(2024, 1, 1, 3, 29, 59), "2023-12-31T23:59:59 -12600 std -0330"},
  };
  kit::EnvGuard env;
  env.set("TZDIR", "/usr/share/zoneinfo");
  for (const auto& c : cases) {
    env.set("TZ", c.tz);
    const cctz::time_zone zone = cctz::local_time_zone();
    const auto al = zone.lookup(c.instant);
    EXPECT_EQ(describe(al.cs, al.offset, al.is_dst, al.abbr), c.local) << c.tz;
  }
}

// A local time that a change skips or repeats: "pre" applies the offset in force before
// the change (so a skipped midnight lands after the gap, a repeated one on its first pass).
TEST(PosixRule, LocalMidnightSkippedOrRepeated) {
  using Kind = cctz::time_zone::civil_lookup::civil_kind;
  struct Case {
    const char* tz;
    cctz::civil_second local;
    Kind kind;
    Instant pre;
  } cases[] = {
      {"America/Sao_Paulo", cctz::civil_second(2018, 11, 4, 0, 0, 0), Kind::SKIPPED, utc(2018, 11, 4, 3, 0, 0)},
      {"America/Sao_Paulo", cctz::civil_second(2019, 2, 16, 23, 30, 0), Kind::REPEATED, utc(2019, 2, 17, 1, 30, 0)},
      {"America/Sao_Paulo", cctz::civil_second(2019, 2, 17, 0, 0, 0), Kind::UNIQUE, utc(2019, 2, 17, 3, 0, 0)},
      {"America/New_York", cctz::civil_second(2024, 3, 10, 2, 30, 0), Kind::SKIPPED, utc(2024, 3, 10, 7, 30, 0)},
      {"America/New_York", cctz::civil_second(2024, 11, 3, 1, 30, 0), Kind::REPEATED, utc(2024, 11, 3, 5, 30, 0)},
      {"Europe/Paris", cctz::civil_second(2024, 3, 31, 2, 30, 0), Kind::SKIPPED, utc(2024, 3, 31, 1, 30, 0)},
      {"Europe/Paris", cctz::civil_second(2024, 10, 27, 2, 30, 0), Kind::REPEATED, utc(2024, 10, 27, 0, 30, 0)},
      {"America/Havana", cctz::civil_second(2024, 3, 10, 0, 0, 0), Kind::SKIPPED, utc(2024, 3, 10, 5, 0, 0)},
      {"America/Havana", cctz::civil_second(2024, 11, 3, 0, 0, 0), Kind::REPEATED, utc(2024, 11, 3, 4, 0, 0)},
      {"CST5CDT,M3.2.0/0,M11.1.0/1", cctz::civil_second(2024, 3, 10, 0, 0, 0), Kind::SKIPPED, utc(2024, 3, 10, 5, 0, 0)},
      {"CST5CDT,M3.2.0/0,M11.1.0/1", cctz::civil_second(2024, 11, 3, 0, 0, 0), Kind::REPEATED, utc(2024, 11, 3, 4, 0, 0)},
      {"<-03>3<-02>,M10.1.0/0,M2.3.0/0", cctz::civil_second(2018, 10, 7, 0, 0, 0), Kind::SKIPPED, utc(2018, 10, 7, 3, 0, 0)},
  };
  kit::EnvGuard env;
  env.set("TZDIR", "/usr/share/zoneinfo");
  for (const auto& c : cases) {
    env.set("TZ", c.tz);
    const auto cl = cctz::local_time_zone().lookup(c.local);
    EXPECT_EQ(cl.kind, c.kind) << c.tz << " " << c.local;
    EXPECT_EQ(unix_of(cl.pre), unix_of(c.pre)) << c.tz << " " << c.local;
  }
}

TEST(PosixRule, InvalidRulesGiveNoZone) {
  const char* invalid[] = {
      "",
      "ABC",                              // no offset
      "ES5",                              // abbreviation too short
      "<AB>5",
      "<ABC5",                            // unterminated
    "<ABC:5",
      "<A B>5",
      "E5T5",
      "5EST",
      "EST 5",
      "EST+",
      ":JST-9",                           // the colon belongs to TZ, not to a rule
      "EST24",                            // cctz holds offsets within one day
      "EST-24:00",
      "EST5:60",
      "EST5:00:60",
      "<+23>-23<+24>",                    // the default daylight offset reaches a day
      "EST5EDT25",
      "EST5EDT,M3.2.0",                   // one date
      "EST5EDT,M3.2.0,",
      "EST5EDT,M3.2.0,M11.1.0,M12.1.0",
      "EST5EDT,M3.2.0,M11.1.0junk",
      "EST5EDT,M13.2.0,M11.1.0",
      "EST5EDT,M3.0.0,M11.1.0",
      "EST5EDT,M3.6.0,M11.1.0",
      "EST5EDT,M3.2.7,M11.1.0",
      "EST5EDT,M3.2,M11.1.0",
      "EST5EDT,J0,J100",
      "EST5EDT,J366,J100",
      "EST5EDT,366,100",
      "EST5EDT,M3.2.0/168,M11.1.0",
      "EST5EDT,M3.2.0/,M11.1.0",
      "EST5EDT,M3.2.0/2:,M11.1.0",
      "EST99999999999999999999",
  };
  for (const char* text : invalid) {
    EXPECT_FALSE(parse_posix_rule(text)) << text;
    cctz::time_zone zone;
    EXPECT_FALSE(cctz::load_time_zone(text, &zone)) << text;
  }
  // The system zone of an invalid TZ is cctz's fallback, UTC.
  kit::EnvGuard env;
  env.set("TZ", "EST5EDT,M3.2.0");
  EXPECT_EQ(cctz::local_time_zone().lookup(utc(2024, 7, 1, 0, 0, 0)).offset, 0);
}

// Offset, daylight flag and abbreviation that the rule's own changes give at an instant.
std::string model_local(const PosixRule& rule, const std::vector<ZoneChange>& changes, std::int64_t unix) {
  auto after = std::ranges::upper_bound(changes, unix, {}, &ZoneChange::at);
  const bool daylight = after == changes.begin() ? daylight_all_year(rule) : std::prev(after)->daylight;
  const long offset = daylight ? rule.daylight->offset : rule.offset;
  return describe(cctz::civil_second(1970, 1, 1, 0, 0, 0) + (unix + offset), offset, daylight,
                  daylight ? rule.daylight->abbr : rule.abbr);
}

// Rules whose changes leave their year, coincide, swap order between years or last no
// longer than the offset change: each loads, and the zone follows the rule's own changes
// from 1800 to 9999 (the regular rules above too, which cctz continues from the footer).
TEST(PosixRule, EveryRuleLoadsWithItsOwnChanges) {
  std::vector<const char*> rules(std::begin(kRules), std::end(kRules));
  rules.insert(rules.end(), {
      "AAA1BBB,J365/23,J36",                // daylight time starts in the next year's local time
      "XXX3YYY,M3.2.0,J365/25",             // or ends there
      "XXX-3YYY,J1/-3,J300",                // or starts in the year before
      "AEST-10AEDT,M4.1.0,M4.1.0/3",        // start and end at one instant: no summer
      "CET-1CEST,M2.5.1,M2.5.0/3",          // start and end swap order between years
      "<-03>3<-02>,M5.5.0/-2,M5.5.0/0",     // an hour of daylight time, as long as its offset change
      "<-03>3<-02>,M5.5.0/-2,M5.5.0/0:30",  // shorter still
      "AAA-10BBB-9,M3.2.0,M3.2.0/2:30",     // negative saving: too short a standard stretch
  });
  std::mt19937_64 random(1899);
  std::uniform_int_distribution<std::int64_t> instant(unix_of(utc(1800, 1, 1, 0, 0, 0)),
                                                      unix_of(utc(9999, 12, 1, 0, 0, 0)));
  for (const char* text : rules) {
    const auto rule = parse_posix_rule(text);
    ASSERT_TRUE(rule) << text;
    cctz::time_zone zone;
    ASSERT_TRUE(cctz::load_time_zone(text, &zone)) << text;
    const auto changes = rule->daylight ? zone_changes(*rule, 10000) : std::vector<ZoneChange>{};
    std::set<std::int64_t> expected;
    for (const ZoneChange& c : changes)
      if (c.at > k1970 && c.at < k2100) expected.insert(c.at);  // as next_transition finds them
    EXPECT_EQ(cctz_transitions(zone, k1970, k2100), expected) << text;

    std::vector<std::int64_t> probes;
    for (std::int64_t t : expected) probes.insert(probes.end(), {t - 1, t});
    for (int i = 0; i < 500; ++i) probes.push_back(instant(random));
    for (std::int64_t t : probes)
      ASSERT_EQ(cctz_local(zone, t), model_local(*rule, changes, t)) << text << " at " << t;
  }

  // What the merging leaves of a few: no summer; a summer across the new year.
  cctz::time_zone zone;
  ASSERT_TRUE(cctz::load_time_zone("AEST-10AEDT,M4.1.0,M4.1.0/3", &zone));
  EXPECT_TRUE(cctz_transitions(zone, k1970, k2100).empty());
  EXPECT_EQ(zone.lookup(utc(2024, 1, 1, 0, 0, 0)).offset, 10 * 3600);
  ASSERT_TRUE(cctz::load_time_zone("<-03>3<-02>,M5.5.0/-2,M5.5.0/0", &zone));
  EXPECT_TRUE(cctz_transitions(zone, k1970, k2100).empty());
  ASSERT_TRUE(cctz::load_time_zone("AAA1BBB,J365/23,J36", &zone));
  EXPECT_FALSE(zone.lookup(utc(2023, 12, 31, 23, 59, 59)).is_dst);
  EXPECT_TRUE(zone.lookup(utc(2024, 1, 1, 0, 0, 0)).is_dst);
  EXPECT_TRUE(zone.lookup(utc(2024, 2, 5, 0, 0, 0)).is_dst);
  EXPECT_FALSE(zone.lookup(utc(2024, 2, 6, 0, 0, 0)).is_dst);
}

// A zone file of the name wins over reading the name as a rule.
TEST(PosixRule, ZoneFilesComeFirst) {
  kit::TempDir dir;
  std::filesystem::copy_file("/usr/share/zoneinfo/Europe/Paris", dir / "QMZ-5");
  kit::EnvGuard env;
  env.set("TZDIR", dir.path().string());
  cctz::time_zone zone;
  ASSERT_TRUE(cctz::load_time_zone("QMZ-5", &zone));
  EXPECT_EQ(zone.lookup(utc(2024, 7, 1, 0, 0, 0)).offset, 2 * 3600);
}

}  // namespace
}  // namespace qm::tz
