// One record per reply, and the daily totals of the kept records.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "adapter/claude/daily.h"

namespace qm::claude::daily {
namespace {

struct Copy {
  Copy(std::optional<std::string> message_id, std::optional<std::string> request_id, std::uint64_t output,
       std::optional<bool> sidechain = std::nullopt, double cost = 0.0, bool speed = false)
      : message_id(std::move(message_id)),
        request_id(std::move(request_id)),
        output(output),
        sidechain(sidechain),
        cost(cost),
        speed(speed) {}
  std::optional<std::string> message_id;
  std::optional<std::string> request_id;
  std::uint64_t output;
  std::optional<bool> sidechain;
  double cost;
  bool speed;
  std::string date = "2025-01-10";
  std::optional<std::string> model;
};

DailyUsageRecord record(const Copy& c) {
  DailyUsageRecord r;
  r.set_ids(c.message_id, c.request_id);
  r.tokens.output = c.output;
  r.sidechain = c.sidechain;
  r.cost = c.cost;
  r.has_speed = c.speed;
  r.set_date(*date_utils::parse_ymd(c.date));
  if (c.model) r.model = intern_model_name(*c.model);
  return r;
}

// The kept records, as their output counts in kept order.
std::vector<std::uint64_t> kept_outputs(const std::vector<Copy>& copies) {
  std::vector<DailyUsageRecord> records;
  for (const auto& c : copies) records.push_back(record(c));
  std::vector<std::uint64_t> out;
  for (const auto& r : dedup_records(std::move(records))) out.push_back(r.tokens.output);
  return out;
}

using Outputs = std::vector<std::uint64_t>;

TEST(ClaudeDedup, StreamedCopiesKeepTheMostCompleteOne) {
  EXPECT_EQ(kept_outputs({{"m", "r", 1, {}, 0.1}, {"m", "r", 5, {}, 0.2}, {"m", "r", 120, {}, 0.3}, {"m", "r", 7}}),
            (Outputs{120}));
  // Equal totals: the larger cost, then the copy that carries a speed.
  auto records = std::vector<DailyUsageRecord>{record({"m", "r", 5, {}, 0.2}), record({"m", "r", 5, {}, 0.1})};
  EXPECT_EQ(dedup_records(std::move(records))[0].cost, 0.2);
  records = {record({"m", "r", 5, {}, 0.1}), record({"m", "r", 5, {}, 0.1, true})};
  EXPECT_TRUE(dedup_records(std::move(records))[0].has_speed);
  records = {record({"m", "r", 5, {}, 0.1, true}), record({"m", "r", 5, {}, 0.1, false})};
  EXPECT_TRUE(dedup_records(std::move(records))[0].has_speed);
  // A comparison with NaN keeps the kept copy.
  records = {record({"m", "r", 5, {}, std::nan("")}), record({"m", "r", 5, {}, 1.0})};
  EXPECT_TRUE(std::isnan(dedup_records(std::move(records))[0].cost));
  records = {record({"m", "r", 5, {}, 1.0}), record({"m", "r", 5, {}, std::nan("")})};
  EXPECT_EQ(dedup_records(std::move(records))[0].cost, 1.0);
}

TEST(ClaudeDedup, SidechainCopiesAndRequestIds) {
  // A sidechain copy and the parent's progress copy under another request id: the progress
  // copy stays, whichever comes first, even when the sidechain copy is larger.
  EXPECT_EQ(kept_outputs({{"m", "r1", 50, true}, {"m", "r2", 40}}), (Outputs{40}));
  EXPECT_EQ(kept_outputs({{"m", "r2", 40}, {"m", "r1", 50, true}}), (Outputs{40}));
  // Same message id, other request ids, no sidechain: two replies.
  EXPECT_EQ(kept_outputs({{"m", "r1", 5}, {"m", "r2", 6}}), (Outputs{5, 6}));
  // Absent request ids are equal to each other.
  EXPECT_EQ(kept_outputs({{"m", {}, 5}, {"m", {}, 6}, {"m", "r", 7}}), (Outputs{6, 7}));
  // Without a message id nothing is ever merged.
  EXPECT_EQ(kept_outputs({{{}, "r", 5}, {{}, "r", 5}, {{}, {}, 5}}), (Outputs{5, 5, 5}));
  // Different message ids never meet.
  EXPECT_EQ(kept_outputs({{"a", "r", 5, true}, {"b", "r", 6}}), (Outputs{5, 6}));
}

// The sidechain copy is replaced by a progress copy with another request id; the next
// progress copy of that request must still find the reply (it would otherwise count twice).
TEST(ClaudeDedup, AReplacementIsFiledUnderItsOwnKeys) {
  EXPECT_EQ(kept_outputs({{"m", "r1", 10, true}, {"m", "r2", 10}, {"m", "r2", 30}}), (Outputs{30}));
  EXPECT_EQ(kept_outputs({{"m", "r1", 10, true},
                          {"m", "r1", 20, true},
                          {"m", "r2", 15},
                          {"m", "r2", 30},
                          {"m", "r1", 90, true},
                          {"m", "r3", 1}}),
            (Outputs{30, 1}));
  // Kept order is the order in which each reply was first met, replacements included.
  EXPECT_EQ(kept_outputs({{"a", "r", 1}, {"b", "r", 2}, {"a", "r", 3}, {"c", "r", 4}, {"b", "r", 5}}),
            (Outputs{3, 5, 4}));
}

// Spread over threads by message id, the result is that of one pass in input order.
TEST(ClaudeDedup, ManyWorkersKeepWhatOnePassKeeps) {
  std::mt19937 rng(5);
  std::vector<std::vector<DailyUsageRecord>> lists(9);
  std::vector<DailyUsageRecord> all;
  for (int i = 0; i < 4000; ++i) {
    Copy c(std::nullopt, std::nullopt, 0);
    // Ids of the usual length and longer ones (kept apart from the record).
    if (rng() % 10) c.message_id = std::to_string(rng() % 500).append(rng() % 4 ? "m" : std::string(40, 'm'));
    if (rng() % 4) c.request_id = std::to_string(rng() % 3).append(rng() % 4 ? "r" : std::string(40, 'r'));
    c.output = rng() % 50;
    if (rng() % 3) c.sidechain = rng() % 2 == 0;
    c.cost = static_cast<double>(rng() % 4);
    c.speed = rng() % 2;
    auto r = record(c);
    ASSERT_EQ(r.message_id(), c.message_id);
    ASSERT_EQ(r.request_id(), c.request_id);
    lists[rng() % lists.size()].push_back(std::move(r));
  }
  for (const auto& l : lists)
    for (const auto& r : l) all.push_back(r);
  auto one = dedup_records(all);
  for (std::size_t workers : {1u, 2u, 4u, 7u}) {
    auto kept = dedup_in_place(lists, workers);
    ASSERT_EQ(kept.size(), one.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      EXPECT_EQ(kept[i]->message_id(), one[i].message_id());
      EXPECT_EQ(kept[i]->request_id(), one[i].request_id());
      EXPECT_EQ(kept[i]->tokens.output, one[i].tokens.output);
      EXPECT_EQ(kept[i]->cost, one[i].cost);
      EXPECT_EQ(kept[i]->sidechain, one[i].sidechain);
    }
  }
}

TEST(ClaudeDailyTotals, DaysModelsAndTotals) {
  std::vector<DailyUsageRecord> kept;
  auto add = [&](std::string date, std::optional<std::string> model, std::uint64_t output, double cost) {
    Copy c(std::nullopt, std::nullopt, output, std::nullopt, cost);
    c.date = std::move(date);
    c.model = std::move(model);
    kept.push_back(record(c));
  };
  add("2025-01-10", "b", 1, 1.0);
  add("2025-01-09", "x", 2, 0.5);
  add("2025-01-10", "a", 3, 1.0);
  add("2025-01-10", "c", 4, 2.0);
  add("2025-01-10", std::nullopt, 5, 0.25);
  add("2025-01-10", "b", 6, 0.0);
  add("2025-01-11", std::nullopt, 7, 3.0);
  kept.back().tokens.cache_creation = 100;
  kept.back().tokens.cache_creation_split = CacheCreationRaw{10, 20};
  kept[0].unpriced = true;

  auto groups = group_by_day(kept);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].label, "2025-01-09");
  EXPECT_EQ(groups[1].label, "2025-01-10");
  const UsageGroup& d = groups[1];
  EXPECT_EQ(d.models, (std::vector<std::string>{"b", "a", "c"}));
  ASSERT_EQ(d.model_usages.size(), 3u);
  EXPECT_EQ(d.model_usages[0].model, "c");
  EXPECT_EQ(d.model_usages[1].model, "b");
  EXPECT_EQ(d.model_usages[1].output, 7u);
  EXPECT_TRUE(d.model_usages[1].unpriced);
  EXPECT_EQ(d.model_usages[2].model, "a");
  EXPECT_FALSE(d.model_usages[2].unpriced);
  EXPECT_EQ(d.totals.output, 19u);
  EXPECT_DOUBLE_EQ(d.cost, 4.25);
  EXPECT_EQ(d.reasoning, 0u);
  EXPECT_FALSE(d.credits);
  // A day whose records name no model: totals but no models; the split counts, not the plain count.
  EXPECT_TRUE(groups[2].models.empty());
  EXPECT_TRUE(groups[2].model_usages.empty());
  EXPECT_EQ(groups[2].totals.cache_creation, 30u);
  EXPECT_DOUBLE_EQ(groups[2].cost, 3.0);
}

// Spread over threads by day, every day's sums are those of one pass: the same additions in
// the same order, down to the last bit of the costs.
TEST(ClaudeDailyTotals, ManyWorkersAddUpWhatOnePassDoes) {
  std::mt19937 rng(7);
  std::vector<DailyUsageRecord> records;
  for (int i = 0; i < 30000; ++i) {
    Copy c(std::nullopt, std::nullopt, rng() % 1000, std::nullopt, std::ldexp(static_cast<double>(rng() % 997), -(int)(rng() % 30)));
    // Days mostly in runs, as files hold them, with strays between.
    c.date = "2025-0" + std::to_string(1 + (i / 3000 + (rng() % 8 == 0 ? rng() % 5 : 0)) % 9) + "-1" + std::to_string(rng() % 3);
    if (rng() % 5) c.model = "model-" + std::to_string(rng() % 6);
    records.push_back(record(c));
  }
  std::vector<const DailyUsageRecord*> kept;
  for (const auto& r : records) kept.push_back(&r);
  const auto one = group_by_day(kept, 1);
  ASSERT_GT(one.size(), 20u);
  for (std::size_t workers : {2u, 3u, 8u}) {
    const auto many = group_by_day(kept, workers);
    ASSERT_EQ(many.size(), one.size());
    for (std::size_t d = 0; d < one.size(); ++d) {
      EXPECT_EQ(many[d].label, one[d].label);
      EXPECT_EQ(many[d].models, one[d].models);
      EXPECT_EQ(many[d].model_usages, one[d].model_usages);
      EXPECT_EQ(many[d].totals, one[d].totals);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(many[d].cost), std::bit_cast<std::uint64_t>(one[d].cost)) << one[d].label.value_or("");
    }
  }
}

TEST(ClaudeDedup, KeyHashes) {
  auto hash_dedup_key = [](std::string_view message_id, std::optional<std::string_view> request_id) {
    return dedup_key_from_hash(std::hash<std::string_view>{}(message_id), request_id);
  };
  EXPECT_EQ(hash_dedup_key("m", "r"), hash_dedup_key(std::string("m"), std::string("r")));
  EXPECT_NE(hash_dedup_key("m", "r"), hash_dedup_key("m", std::nullopt));
  EXPECT_NE(hash_dedup_key("m", "r"), hash_dedup_key("m", "s"));
  EXPECT_NE(hash_dedup_key("mr", std::nullopt), hash_dedup_key("m", "r"));
}

}  // namespace
}  // namespace qm::claude::daily
