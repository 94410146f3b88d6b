// One record per model reply, and the kept records added up per day.
#include <algorithm>
#include <map>

#include "adapter/claude/daily.h"
#include "adapter/claude/key_index.h"
#include "parallel.h"
#include "sort.h"
#include "summary.h"

namespace qm::claude::daily {
namespace {

bool flag(const std::optional<bool>& b) { return b.value_or(false); }

// Exact: five 64-bit counts cannot overflow 128 bits.
unsigned __int128 total_tokens(const TokenUsageRaw& t) {
  using u128 = unsigned __int128;
  const u128 creation = t.cache_creation_split
                            ? u128(t.cache_creation_split->ephemeral_5m) + t.cache_creation_split->ephemeral_1h
                            : u128(t.cache_creation);
  return u128(t.input) + t.output + t.cache_read + creation;
}

// Keeps one record per reply, fed in input order; the records stay where they are. Each
// kept place remembers the input number of the record that took it first.
class Deduper {
 public:
  struct Kept {
    const DailyUsageRecord* record;
    std::uint64_t opened_by;
  };
  void add(const DailyUsageRecord& r, std::uint64_t number);
  // Room for that many records, so that adding them never grows the index.
  void reserve(std::size_t records) {
    kept.reserve(records);
    index_.reserve(2 * records);  // each record is filed under two keys
  }
  std::vector<Kept> kept;

 private:
  KeyIndex index_;
};

// The hashes made when the records were read are compared before the texts, which lie
// elsewhere in memory.
bool same_ids(const DailyUsageRecord& a, const DailyUsageRecord& b) {
  return a.exact_key() == b.exact_key() && a.message_id() == b.message_id() && a.request_id() == b.request_id();
}
bool same_message(const DailyUsageRecord& a, const DailyUsageRecord& b) {
  return a.message_hash() == b.message_hash() && a.message_id() == b.message_id();
}

void Deduper::add(const DailyUsageRecord& r, std::uint64_t number) {
  const std::uint64_t exact_key = r.exact_key();
  const std::uint64_t id_key = dedup_key_from_hash(r.message_hash(), std::nullopt);
  std::uint32_t p = index_.find_first(exact_key, [&](std::uint32_t pos) { return same_ids(*kept[pos].record, r); });
  if (p == KeyIndex::kNone)
    p = index_.find_first(id_key, [&](std::uint32_t pos) {
      const auto& k = *kept[pos].record;
      return (flag(r.sidechain) || flag(k.sidechain)) && same_message(k, r);
    });
  if (p == KeyIndex::kNone) {
    // Positions fit 32 bits: four billion records would not fit in memory anyway.
    const auto pos = static_cast<std::uint32_t>(kept.size());
    kept.push_back(Kept{&r, number});
    index_.file(exact_key, pos);
    index_.file(id_key, pos);
    return;
  }
  const DailyUsageRecord*& k = kept[p].record;
  if (!replaces(r, *k)) return;
  const bool other_request = k->exact_key() != exact_key || k->request_id() != r.request_id();
  k = &r;
  // A copy under another request id takes the place: later copies under that id must find
  // it too, or the reply would count twice.
  if (other_request) index_.file(exact_key, p);
}

}  // namespace

bool replaces(const DailyUsageRecord& r, const DailyUsageRecord& k) {
  if (flag(r.sidechain) != flag(k.sidechain)) return flag(k.sidechain);
  const auto rt = total_tokens(r.tokens), kt = total_tokens(k.tokens);
  if (rt != kt) return rt > kt;
  if (r.cost != k.cost) return r.cost > k.cost;  // NaN on either side keeps k
  return r.has_speed && !k.has_speed;
}

std::vector<const DailyUsageRecord*> dedup_in_place(const std::vector<std::vector<DailyUsageRecord>>& lists,
                                                    std::size_t workers) {
  std::vector<std::size_t> first(lists.size() + 1, 0);  // input number of each list's first record
  for (std::size_t i = 0; i < lists.size(); ++i) first[i + 1] = first[i] + lists[i].size();
  const std::size_t n = first.back();
  constexpr std::uint8_t kNoId = 255;
  const std::size_t shards = std::clamp<std::size_t>(workers, 1, 64);

  // Each record's place in the result, by input number; records without a message id are
  // never merged and keep theirs.
  std::vector<const DailyUsageRecord*> places(n, nullptr);
  std::vector<std::uint8_t> shard(n);
  parallel::run_tasks(lists.size(), workers, [&](std::size_t i) {
    for (std::size_t j = 0, g = first[i]; j < lists[i].size(); ++j, ++g) {
      const auto& r = lists[i][j];
      if (!r.message_id()) {
        shard[g] = kNoId;
        places[g] = &r;
        continue;
      }
      shard[g] = static_cast<std::uint8_t>((r.message_hash() >> 40) % shards);
    }
  });
  parallel::run_tasks(shards, workers, [&](std::size_t s) {
    Deduper d;
    d.reserve(static_cast<std::size_t>(std::count(shard.begin(), shard.end(), static_cast<std::uint8_t>(s))));
    for (std::size_t i = 0; i < lists.size(); ++i)
      for (std::size_t j = 0, g = first[i]; j < lists[i].size(); ++j, ++g)
        if (shard[g] == s) d.add(lists[i][j], g);
    for (const auto& k : d.kept) places[k.opened_by] = k.record;
  });

  std::vector<const DailyUsageRecord*> kept;
  for (const auto* p : places)
    if (p) kept.push_back(p);
  return kept;
}

std::vector<DailyUsageRecord> dedup_records(std::vector<DailyUsageRecord> records) {
  std::vector<std::vector<DailyUsageRecord>> lists(1);
  lists[0] = std::move(records);
  auto& all = lists[0];
  std::vector<DailyUsageRecord> kept;
  for (const auto* p : dedup_in_place(lists, 1))
    kept.push_back(std::move(all[static_cast<std::size_t>(p - all.data())]));
  return kept;
}

namespace {

struct Day {
  UsageGroup group;
  std::vector<const std::string*> keys;  // of group.model_usages, in the same order
  // The usage of a per-model key: interned keys are found by address, mostly.
  ModelUsage& usage_of(const std::string* key) {
    auto at = std::find(keys.begin(), keys.end(), key);
    if (at == keys.end())
      at = std::find_if(keys.begin(), keys.end(), [&](const std::string* k) { return *k == *key; });
    if (at != keys.end()) return group.model_usages[static_cast<std::size_t>(at - keys.begin())];
    keys.push_back(key);
    group.models.push_back(*key);
    return group.model_usages.emplace_back(ModelUsage{.model = *key});
  }
};

// By the date text, as the groups are ordered.
using Days = std::map<std::string, Day, std::less<>>;

// The days of the records whose day number is `shard` modulo `shards`, each added up in
// record order.
void add_days(const std::vector<const DailyUsageRecord*>& kept, std::size_t shard, std::size_t shards, Days& days) {
  Day* day = nullptr;  // the last record's: records of a day mostly come together
  std::int64_t day_number = 0;
  for (const auto* record : kept) {
    const DailyUsageRecord& r = *record;
    if (shards > 1 && static_cast<std::uint64_t>(r.day) % shards != shard) continue;
    if (!day || r.day != day_number) {
      const std::string date = r.date();
      auto it = days.find(date);
      if (it == days.end()) it = days.emplace(date, Day{}).first;
      day = &it->second;
      day->group.label = date;
      day_number = r.day;
    }
    all::types::add_token_totals(day->group.totals, r.tokens);
    day->group.cost += r.cost;
    if (!r.model) continue;
    qm::summary::add_to_model(day->usage_of(r.model), r.tokens, 0, r.cost, r.unpriced);
  }
}

}  // namespace

std::vector<UsageGroup> group_by_day(const std::vector<const DailyUsageRecord*>& kept, std::size_t workers) {
  // Every day's records are added up on one thread, in their order, so that the sums do not
  // depend on the number of workers; the days are spread over the threads.
  constexpr std::size_t kRecordsPerShard = 4096;
  const std::size_t shards = std::clamp<std::size_t>(kept.size() / kRecordsPerShard, 1, std::max<std::size_t>(workers, 1));
  std::vector<Days> per_shard(shards);
  parallel::run_tasks(shards, workers, [&](std::size_t s) { add_days(kept, s, shards, per_shard[s]); });
  Days days = std::move(per_shard[0]);
  for (std::size_t s = 1; s < shards; ++s) days.merge(per_shard[s]);
  std::vector<UsageGroup> groups;
  groups.reserve(days.size());
  for (auto& [date, d] : days) {
    sort::sort_model_usages(d.group.model_usages);
    groups.push_back(std::move(d.group));
  }
  return groups;
}

std::vector<UsageGroup> group_by_day(const std::vector<DailyUsageRecord>& kept) {
  std::vector<const DailyUsageRecord*> records;
  records.reserve(kept.size());
  for (const auto& r : kept) records.push_back(&r);
  return group_by_day(records, 1);
}

}  // namespace qm::claude::daily
