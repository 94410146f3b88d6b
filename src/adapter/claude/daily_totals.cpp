// One record per model reply, and the kept records added up per day.
#include <map>
#include <unordered_map>

#include "adapter/claude/daily.h"
#include "sort.h"

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

// Whether copy r of a reply replaces the kept copy k.
bool replaces(const DailyUsageRecord& r, const DailyUsageRecord& k) {
  if (flag(r.sidechain) != flag(k.sidechain)) return flag(k.sidechain);
  const auto rt = total_tokens(r.tokens), kt = total_tokens(k.tokens);
  if (rt != kt) return rt > kt;
  if (r.cost != k.cost) return r.cost > k.cost;  // NaN on either side keeps k
  return r.has_speed && !k.has_speed;
}

std::optional<std::string_view> view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

}  // namespace

void Deduper::add(DailyUsageRecord r) {
  if (!r.message_id) {
    kept_.push_back(std::move(r));
    return;
  }
  const std::string& id = *r.message_id;
  const std::uint64_t exact_key = hash_dedup_key(id, view(r.request_id));
  const std::uint64_t id_key = hash_dedup_key(id, std::nullopt);
  std::uint32_t p = index_.find_first(exact_key, [&](std::uint32_t pos) {
    const auto& k = kept_[pos];
    return k.message_id == r.message_id && k.request_id == r.request_id;
  });
  if (p == KeyIndex::kNone)
    p = index_.find_first(id_key, [&](std::uint32_t pos) {
      const auto& k = kept_[pos];
      return k.message_id == r.message_id && (flag(r.sidechain) || flag(k.sidechain));
    });
  if (p == KeyIndex::kNone) {
    // Positions fit 32 bits: four billion records would not fit in memory anyway.
    const auto pos = static_cast<std::uint32_t>(kept_.size());
    kept_.push_back(std::move(r));
    index_.file(exact_key, pos);
    index_.file(id_key, pos);
    return;
  }
  DailyUsageRecord& k = kept_[p];
  if (!replaces(r, k)) return;
  const bool other_request = k.request_id != r.request_id;
  k = std::move(r);
  // A copy under another request id takes the place: later copies under that id must find
  // it too, or the reply would count twice.
  if (other_request) index_.file(exact_key, p);
}

std::vector<DailyUsageRecord> dedup_records(std::vector<DailyUsageRecord> records) {
  Deduper d;
  for (auto& r : records) d.add(std::move(r));
  return d.take();
}

std::vector<UsageGroup> group_by_day(const std::vector<DailyUsageRecord>& kept) {
  struct Day {
    UsageGroup group;
    std::unordered_map<std::string_view, std::size_t> by_key;  // into group.model_usages
  };
  std::map<std::string, Day, std::less<>> days;
  for (const auto& r : kept) {
    auto it = days.find(r.date);
    if (it == days.end()) it = days.emplace(r.date, Day{}).first;
    Day& day = it->second;
    all::types::add_token_totals(day.group.totals, r.tokens);
    day.group.cost += r.cost;
    if (!r.model) continue;
    auto [at, fresh] = day.by_key.try_emplace(*r.model, day.group.model_usages.size());
    if (fresh) {
      day.group.models.push_back(*r.model);
      day.group.model_usages.push_back(ModelUsage{.model = *r.model});
    }
    ModelUsage& m = day.group.model_usages[at->second];
    m.input += r.tokens.input;
    m.output += r.tokens.output;
    m.cache_read += r.tokens.cache_read;
    m.cache_creation += r.tokens.effective_cache_creation();
    m.cost += r.cost;
    if (r.unpriced_model) m.unpriced = true;
  }
  std::vector<UsageGroup> groups;
  groups.reserve(days.size());
  for (auto& [date, day] : days) {
    day.group.label = date;
    sort::sort_model_usages(day.group.model_usages);
    groups.push_back(std::move(day.group));
  }
  return groups;
}

}  // namespace qm::claude::daily
