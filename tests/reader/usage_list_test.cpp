// The compact usage list: the same daily groups as grouping full records, and the same dates
// as the report time zone gives, whatever the zone's clock changes.
#include "reader/usage_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "adapter/all/loader.h"
#include "date_utils.h"
#include "kit/reader.h"
#include "sort.h"
#include "summary.h"

namespace qm::reader {
namespace {

void expect_same_groups(const std::vector<UsageGroup>& got, const std::vector<UsageGroup>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(want[i].label.value_or("?"));
    EXPECT_EQ(got[i].label, want[i].label);
    EXPECT_EQ(got[i].totals, want[i].totals);
    EXPECT_EQ(got[i].reasoning, want[i].reasoning);
    EXPECT_EQ(got[i].cost, want[i].cost);  // summed in the same order: equal to the bit
    EXPECT_EQ(got[i].credits, want[i].credits);
    EXPECT_EQ(got[i].extra_count, want[i].extra_count);
    EXPECT_EQ(got[i].models, want[i].models);
    EXPECT_EQ(got[i].model_usages, want[i].model_usages);
  }
}

// Records with many equal times, costs whose sum depends on the order of addition, records
// without a per-model key, split cache writes, credits and message counts.
std::vector<UsageRecord> random_records(std::mt19937_64& rng, std::size_t n) {
  const char* dates[] = {"2025-03-01", "2025-03-02", "2025-03-03", "2025-03-04", "2025-02-27"};
  const char* models[] = {"m-a", "m-b", "m-c", "m-d", "m-e"};
  const double costs[] = {1e16, 1.0, 0.1, 3e-7, 0.0, 2.5};
  std::vector<UsageRecord> out;
  for (std::size_t i = 0; i < n; ++i) {
    UsageRecord r;
    r.date_key = dates[rng() % 5];
    r.timestamp_ms = static_cast<std::int64_t>(rng() % 40) * 1000;
    if (rng() % 8) r.model_key = models[rng() % 5];
    r.tokens.input = rng() % 1000;
    r.tokens.output = rng() % 100;
    r.tokens.cache_creation = rng() % 50;
    if (rng() % 6 == 0) r.tokens.cache_creation_split = CacheCreationRaw{rng() % 7, rng() % 9};
    r.tokens.cache_read = rng() % 3000;
    r.reasoning = rng() % 20;
    r.cost = costs[rng() % 6] * (rng() % 2 ? 1 : -1);
    if (rng() % 5 == 0) r.credits = costs[rng() % 6];
    if (rng() % 4 == 0) r.message_count = rng() % 10;
    if (rng() % 7 == 0) r.unpriced = "x";
    out.push_back(std::move(r));
  }
  return out;
}

// The daily groups of full records taken one by one in the order given: the slow, plain
// reading the compact list has to agree with.
std::vector<UsageGroup> reference_groups(const std::vector<UsageRecord>& records) {
  struct Day {
    UsageGroup group;
    std::map<std::string, std::size_t> model_index;
  };
  std::map<std::string, Day> days;
  for (const auto& r : records) {
    Day& day = days[r.date_key];
    summary::add_to_group(day.group, r.tokens, r.reasoning, r.cost, r.credits, r.message_count);
    if (!r.model_key) continue;
    auto [it, inserted] = day.model_index.try_emplace(*r.model_key, day.group.model_usages.size());
    if (inserted) {
      day.group.models.push_back(*r.model_key);
      day.group.model_usages.push_back(ModelUsage{*r.model_key});
    }
    summary::add_to_model(day.group.model_usages[it->second], r.tokens, r.reasoning, r.cost, r.unpriced.has_value());
  }
  std::vector<UsageGroup> out;
  for (auto& [label, day] : days) {
    sort::sort_model_usages(day.group.model_usages);
    day.group.label = label;
    out.push_back(std::move(day.group));
  }
  return out;
}

std::vector<UsageRecord> in_range(std::vector<UsageRecord> records, const all::loader::DateRange& range) {
  std::erase_if(records, [&](const UsageRecord& r) { return !all::loader::in_date_range(range, r.date_key); });
  return records;
}

// The groups of records added in the order given, as a reader of full records gets them.
std::vector<UsageGroup> groups_as_added(const std::vector<UsageRecord>& records) {
  static const auto zone = date_utils::report_zone("UTC");
  UsageList list(zone);
  for (const auto& r : records) list.add_record(r);
  return list.group_by_day([](std::string_view) { return true; }, false);
}

TEST(UsageList, GroupsAsFullRecordsAreGrouped) {
  std::mt19937_64 rng(7);
  const auto zone = date_utils::report_zone("UTC");
  for (int round = 0; round < 20; ++round) {
    auto records = random_records(rng, 1 + rng() % 400);
    // Half of the lists are added in time order, as a table of messages mostly is.
    if (round % 2)
      std::stable_sort(records.begin(), records.end(),
                       [](const UsageRecord& a, const UsageRecord& b) { return a.timestamp_ms < b.timestamp_ms; });
    UsageList list(zone);
    for (const auto& r : records) list.add_record(r);
    const all::loader::DateRange ranges[] = {{}, {"20250302", "20250303"}, {"20250304", std::nullopt}};
    for (const auto& range : ranges) {
      auto keep = [&](std::string_view d) { return all::loader::in_date_range(range, d); };
      auto kept = in_range(records, range);
      expect_same_groups(list.group_by_day(keep, false), reference_groups(kept));
      std::stable_sort(kept.begin(), kept.end(),
                       [](const UsageRecord& a, const UsageRecord& b) { return a.timestamp_ms < b.timestamp_ms; });
      expect_same_groups(list.group_by_day(keep), reference_groups(kept));
    }
  }
}

// A database read again drops what its first read added: the groups are those of the records
// added last, at every place a chunk of the list begins or ends.
TEST(UsageList, TruncatedListsGroupAsIfTheDroppedUsagesWereNeverAdded) {
  std::mt19937_64 rng(13);
  const auto zone = date_utils::report_zone("UTC");
  auto keep_all = [](std::string_view) { return true; };
  const auto kept = random_records(rng, 40'000);
  const auto dropped = random_records(rng, 20'000);
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{16'383}, std::size_t{16'384}, std::size_t{16'385}}) {
    UsageList list(zone);
    for (std::size_t i = 0; i < at; ++i) list.add_record(kept[i]);
    for (std::size_t i = 0; i < dropped.size(); ++i) list.add_record(dropped[i]);
    list.truncate(at);
    EXPECT_EQ(list.size(), at);
    // Fields a reader leaves unset must not keep the dropped usages' values.
    for (std::size_t i = at; i < kept.size(); ++i) {
      Usage& u = list.add_on(kept[i].date_key, kept[i].timestamp_ms, list.model(kept[i].model_key.value_or("m-a")));
      u.set_tokens(kept[i].tokens);
    }
    UsageList want(zone);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (i < at) {
        want.add_record(kept[i]);
        continue;
      }
      Usage& u = want.add_on(kept[i].date_key, kept[i].timestamp_ms, want.model(kept[i].model_key.value_or("m-a")));
      u.set_tokens(kept[i].tokens);
    }
    expect_same_groups(list.group_by_day(keep_all), want.group_by_day(keep_all));
  }
}

UsageRecord rec(std::string date, std::optional<std::string> model, double cost, std::uint64_t input = 1) {
  UsageRecord r;
  r.date_key = std::move(date);
  r.model_key = std::move(model);
  r.cost = cost;
  r.tokens.input = input;
  return r;
}

TEST(UsageListGroups, DaysAscendingModelsByCostStable) {
  std::vector<UsageRecord> records = {rec("2025-01-02", "b", 1), rec("2025-01-01", "x", 0.5), rec("2025-01-02", "a", 1),
                                      rec("2025-01-02", "c", 2), rec("2025-01-02", std::nullopt, 4, 10)};
  records[0].credits = 0.5;
  records[2].credits = 1.5;
  records[3].unpriced = "estimated";
  records[3].tokens.cache_creation_split = CacheCreationRaw{3, 4};
  auto groups = groups_as_added(records);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].label, "2025-01-01");
  const auto& g = groups[1];
  EXPECT_EQ(g.models, (std::vector<std::string>{"b", "a", "c"}));
  ASSERT_EQ(g.model_usages.size(), 3u);
  EXPECT_EQ(g.model_usages[0].model, "c");
  EXPECT_EQ(g.model_usages[1].model, "b");
  EXPECT_EQ(g.model_usages[2].model, "a");
  EXPECT_TRUE(g.model_usages[0].unpriced);
  EXPECT_EQ(g.model_usages[0].cache_creation, 7u);
  EXPECT_EQ(g.cost, 8.0);
  EXPECT_EQ(g.totals.input, 13u);
  EXPECT_EQ(g.credits, 2.0);

  auto rows = all::loader::to_usage_rows("amp", groups);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].metadata);
  ASSERT_TRUE(rows[1].metadata);
  EXPECT_EQ(kit::metadata_text(rows[1].metadata), R"({"credits":2})");
  EXPECT_EQ(rows[1].total, 13u + 7u);
  EXPECT_EQ(rows[1].agents, (std::vector<std::string>{"amp"}));
}

TEST(UsageListGroups, SumsStopAtTheLargestCount) {
  auto big = rec("2025-03-01", "m", 1, UINT64_MAX);
  big.tokens.output = UINT64_MAX;
  big.tokens.cache_creation_split = CacheCreationRaw{UINT64_MAX, 1};
  big.tokens.cache_read = UINT64_MAX;
  big.reasoning = UINT64_MAX;
  big.message_count = UINT64_MAX;
  auto groups = groups_as_added({big, big});
  ASSERT_EQ(groups.size(), 1u);
  const UsageGroup& g = groups[0];
  EXPECT_EQ(g.totals, (TokenTotals{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX}));
  EXPECT_EQ(g.reasoning, UINT64_MAX);
  EXPECT_EQ(g.extra_count, UINT64_MAX);
  ASSERT_EQ(g.model_usages.size(), 1u);
  EXPECT_EQ(g.model_usages[0], (ModelUsage{"m", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 2.0}));
  auto rows = all::loader::to_usage_rows("amp", groups);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].total, UINT64_MAX);
  auto merged = all::loader::merge_rows_by_label({rows[0], rows[0]});
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].total, UINT64_MAX);
  EXPECT_EQ(merged[0].model_usages,
            (std::vector<ModelUsage>{{"m", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 4.0}}));
}

TEST(UsageListGroups, DaysWithoutTokensGiveNoRow) {
  auto only_cache = rec("2025-02-01", "m", 0, 0);
  only_cache.tokens.cache_read = 5;
  auto zero = rec("2025-02-02", "m", 3, 0);
  auto no_key = rec("2025-02-03", std::nullopt, 1, 2);
  auto rows = all::loader::to_usage_rows("x", groups_as_added({only_cache, zero, no_key}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].label, "2025-02-01");
  EXPECT_EQ(rows[1].label, "2025-02-03");
  EXPECT_TRUE(rows[1].model_usages.empty());
}

TEST(UsageList, DatesOfInstantsAreTheReportZones) {
  // Clock changes at 02:00, by half an hour, at midnight (so that midnight never happens),
  // and a whole day skipped (Samoa, 2011-12-30).
  const char* zones[] = {"UTC", "America/New_York", "Australia/Lord_Howe", "America/Sao_Paulo", "Asia/Kathmandu",
                         "Pacific/Apia"};
  const std::int64_t from = 1'293'840'000'000;  // 2011-01-01
  const std::int64_t to = 1'546'300'800'000;    // 2019-01-01
  std::mt19937_64 rng(11);
  for (const char* name : zones) {
    auto zone = date_utils::find_time_zone(std::string(name));
    ASSERT_TRUE(zone) << name;
    std::vector<std::int64_t> instants;
    for (std::int64_t t = from; t < to; t += 1'800'000 + static_cast<std::int64_t>(rng() % 3'600'000)) instants.push_back(t);
    for (std::int64_t t : {from - 1, to + std::int64_t{86'400'000'000'000}, std::int64_t{-86'400'001}, std::int64_t{0}})
      instants.push_back(t);
    for (int pass = 0; pass < 2; ++pass) {  // in time order, then shuffled
      UsageList list(*zone);
      for (auto t : instants) {
        const Usage& u = list.add(t, Usage::kNoModel);
        ASSERT_EQ(list.date_key(u.day), date_utils::format_local_date(t, *zone)) << name << " at " << t;
      }
      std::shuffle(instants.begin(), instants.end(), rng);
    }
  }
}

TEST(UsageList, ModelsAndDaysAreNamedOnce) {
  const auto zone = date_utils::report_zone("UTC");
  UsageList list(zone);
  EXPECT_EQ(list.model("a"), list.model("a"));
  EXPECT_NE(list.model("a"), list.model("b"));
  EXPECT_EQ(list.model_name(list.model("b")), "b");
  EXPECT_EQ(list.add(1'748'736'000'000, 0).day, list.add_on("2025-06-01", 5, 0).day);
  EXPECT_EQ(list.size(), 2u);
}

}  // namespace
}  // namespace qm::reader
