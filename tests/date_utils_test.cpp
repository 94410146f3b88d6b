#include "date_utils.h"

#include <gtest/gtest.h>

#include <random>

#include "adapter/all/loader.h"
#include "kit/env.h"

namespace qm::date_utils {
namespace {

TEST(Dates, ParseYmdAndCalendar) {
  EXPECT_EQ(parse_ymd("2024-02-29"), (CivilDate{2024, 2, 29}));
  EXPECT_FALSE(parse_ymd("2023-02-29"));
  EXPECT_FALSE(parse_ymd("2024-3-01"));
  EXPECT_FALSE(parse_ymd("2024-03-011"));
  EXPECT_FALSE(parse_ymd("2024-13-01"));
  EXPECT_FALSE(parse_ymd("2024-00-10"));
  EXPECT_TRUE(parse_ymd("2000-02-29"));
  EXPECT_FALSE(parse_ymd("1900-02-29"));
  EXPECT_EQ(weekday(CivilDate{1970, 1, 1}), 4);
  EXPECT_EQ(weekday(CivilDate{2000, 3, 1}), 3);
  EXPECT_EQ(weekday(CivilDate{1969, 12, 31}), 3);
  EXPECT_EQ(add_days(CivilDate{2024, 3, 1}, -1), (CivilDate{2024, 2, 29}));
  EXPECT_EQ(add_days(CivilDate{2024, 12, 31}, 1), (CivilDate{2025, 1, 1}));
  for (std::int64_t d = -800000; d <= 800000; d += 997) EXPECT_EQ(days_from_civil(civil_from_days(d)), d);
  EXPECT_EQ(format_ymd(5, 1, 2), "0005-01-02");
  EXPECT_EQ(format_ymd(2026, 12, 31), "2026-12-31");
  EXPECT_EQ(format_ymd(-5, 1, 2), "-005-01-02");
  EXPECT_EQ(format_ymd(12345, 10, 9), "12345-10-09");
}

TEST(Dates, TimestampsRoundTripAndStrictShapes) {
  EXPECT_EQ(format_timestamp_ms(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(utc_date_from_ms(-1), "1969-12-31");
  struct Case {
    const char* text;
    std::optional<std::int64_t> ms;
  } cases[] = {
      {"2024-01-01T00:00:00Z", 1704067200000},
      {"2024-01-01T00:00:00.250Z", 1704067200250},
      {"2024-01-01T00:00:00+01:00", 1704063600000},
      {"2024-01-01T00:00:00-01:00", 1704070800000},
      {"2024-01-01T00:00:00.500+99:99", 1704067200500 - (99 * 60 + 99) * 60000LL},
      {"2024-01-01T00:00:00.5Z", std::nullopt},
      {"2024-01-01T00:00:00.123456Z", std::nullopt},
      {"2024-01-01 00:00:00Z", std::nullopt},
      {"2024-01-01T00:00:00z", std::nullopt},
      {"2024-01-01T00:00:00,250Z", std::nullopt},
      {"2024-01-01T00:00:00", std::nullopt},
      {"2024-01-01T24:00:00Z", std::nullopt},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2024-01-01T00:00:60Z", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_timestamp_ms(c.text), c.ms) << c.text;
}

TEST(Dates, LocalDatesInNamedAndRuleZones) {
  kit::EnvGuard env;
  env.set("TZDIR", "/usr/share/zoneinfo").set("TZ", "UTC");
  auto ny = find_time_zone(std::string("America/New_York"));
  ASSERT_TRUE(ny);
  // 2024-03-10 is the spring change in New York: 04:59Z is still the 9th, 05:00Z the 10th.
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-03-10T04:59:59Z"), *ny), "2024-03-09");
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-03-10T05:00:00Z"), *ny), "2024-03-10");
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-07-01T03:59:59Z"), *ny), "2024-06-30");
  auto paris = find_time_zone(std::string("Europe/Paris"));
  ASSERT_TRUE(paris);
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-10-26T21:59:59Z"), *paris), "2024-10-26");
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-10-26T22:00:00Z"), *paris), "2024-10-27");
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2024-10-27T22:59:59Z"), *paris), "2024-10-27");
  auto sp = find_time_zone(std::string("America/Sao_Paulo"));
  ASSERT_TRUE(sp);
  // In 2018 Sao Paulo skipped the midnight of 4 November.
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2018-11-04T02:59:59Z"), *sp), "2018-11-03");
  EXPECT_EQ(format_local_date(*parse_timestamp_ms("2018-11-04T03:00:00Z"), *sp), "2018-11-04");
  // The last millisecond before the epoch is still on the earlier day.
  EXPECT_EQ(format_local_date(-1, cctz::utc_time_zone()), "1969-12-31");

  EXPECT_FALSE(find_time_zone(std::nullopt));
  EXPECT_FALSE(find_time_zone(std::string("Mars/Olympus_Mons")));
  // An unknown name reports in the system zone.
  env.set("TZ", "Asia/Tokyo");
  auto late = *parse_timestamp_ms("2024-05-01T20:00:00Z");
  EXPECT_EQ(format_local_date(late, report_zone(std::string("Mars/Olympus_Mons"))), "2024-05-02");
  EXPECT_EQ(format_local_date(late, std::optional<cctz::time_zone>()), "2024-05-02");
  // Outside what the zone library can represent, the UTC date.
  EXPECT_EQ(format_local_date(253402207200001, *ny), utc_date_from_ms(253402207200001));
  // Before the epoch a fraction of a second still belongs to the earlier second.
  auto utc = find_time_zone(std::string("UTC"));
  EXPECT_EQ(format_local_date(-1, *utc), "1969-12-31");
  EXPECT_EQ(format_local_date(-86400001, *utc), "1969-12-30");
  EXPECT_EQ(format_timestamp_ms(INT64_MIN).substr(0, 1), "-");
}

TEST(Dates, LocalDaysAgreeWithTheZoneAtEveryStep) {
  kit::EnvGuard env;
  env.set("TZDIR", "/usr/share/zoneinfo").set("TZ", "UTC");
  std::mt19937_64 rng(5);
  // Zones with half-hour and 45-minute offsets, a half-hour change, a skipped day, a
  // negative summer offset, and a rule that changes twice within one day.
  for (std::string name : {"UTC", "America/New_York", "Australia/Lord_Howe", "Pacific/Apia", "Asia/Kathmandu",
                           "Europe/Dublin", "America/Sao_Paulo", "AAA1BBB,J100/1,J100/5", "<+0530>-5:30"}) {
    auto zone = find_time_zone(name);
    ASSERT_TRUE(zone) << name;
    LocalDays days(*zone);
    // Mostly forward in steps of minutes, sometimes back, as log lines go; now and then far
    // away (before 1970 and after 2109 too).
    std::int64_t ms = *parse_timestamp_ms("2011-01-01T00:00:00Z");
    for (int i = 0; i < 60000; ++i) {
      if (i % 997 == 996)
        ms = static_cast<std::int64_t>(rng() % 8'000'000'000'000) - 3'000'000'000'000;
      else
        ms += static_cast<std::int64_t>(rng() % 6'000'000) - 1'500'000;
      const CivilDate want = local_civil_date(ms, *zone), got = days.civil_date(ms);
      ASSERT_TRUE(got == want) << name << " at " << ms << ": " << format_ymd(got) << " for " << format_ymd(want);
    }
    // Around each change of offset: the instant of the change first, then some on both sides.
    auto at = std::chrono::time_point<std::chrono::system_clock, std::chrono::seconds>(std::chrono::seconds(1293840000));
    cctz::time_zone::civil_transition change;
    for (int n = 0; n < 8 && zone->next_transition(at, &change); ++n) {
      at = zone->lookup(change.to).trans;
      const std::int64_t t = at.time_since_epoch().count() * 1000;
      LocalDays fresh(*zone);
      for (std::int64_t d : {0, -1, 1, -1000, 1800000, -1800000, -10800000, 10800000, -82800000, 82800000}) {
        const CivilDate want = local_civil_date(t + d, *zone), got = fresh.civil_date(t + d);
        ASSERT_TRUE(got == want) << name << " at " << t + d << ": " << format_ymd(got) << " for " << format_ymd(want);
      }
    }
  }
}

TEST(Dates, LocalMidnightsAcrossClockChanges) {
  kit::EnvGuard env;
  env.set("TZDIR", "/usr/share/zoneinfo");
  auto zone = [](const char* name) { return *find_time_zone(std::string(name)); };
  const struct {
    const char* zone;
    CivilDate date;
    std::optional<std::string> utc;
  } cases[] = {
      {"UTC", {2025, 6, 1}, "2025-06-01T00:00:00.000Z"},
      {"Asia/Tokyo", {2025, 6, 1}, "2025-05-31T15:00:00.000Z"},
      // Skipped midnights: read with the offset before the change (-3 and -5).
      {"America/Sao_Paulo", {2018, 11, 4}, "2018-11-04T03:00:00.000Z"},
      {"America/Havana", {2023, 3, 12}, "2023-03-12T05:00:00.000Z"},
      // A repeated midnight: the first of the two (-4 before the change to -5).
      {"America/Havana", {2023, 11, 5}, "2023-11-05T04:00:00.000Z"},
      {"UTC", {1969, 12, 31}, "1969-12-31T00:00:00.000Z"},
      {"UTC", {10000, 1, 1}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto ms = local_midnight_ms(c.date, zone(c.zone));
    EXPECT_EQ(ms ? std::optional(format_timestamp_ms(*ms)) : std::nullopt, c.utc) << c.zone << " " << format_ymd(c.date);
  }
}

TEST(DateRange, TextComparisonOfBounds) {
  using all::loader::DateRange;
  using all::loader::in_date_range;
  EXPECT_TRUE(in_date_range(DateRange{"20240310", "20240310"}, "2024-03-10"));
  EXPECT_FALSE(in_date_range(DateRange{"202431", std::nullopt}, "2024-03-10"));
  EXPECT_FALSE(in_date_range(DateRange{std::nullopt, "20240309"}, "2024-03-10"));
  EXPECT_TRUE(in_date_range(DateRange{"2024", std::nullopt}, "2024-03-10"));
  EXPECT_FALSE(in_date_range(DateRange{std::nullopt, "2024"}, "2024-03-10"));
  EXPECT_TRUE(in_date_range(DateRange{}, ""));
}

}  // namespace
}  // namespace qm::date_utils
