#include "reader/usage_list.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "date_utils.h"
#include "sort.h"
#include "summary.h"

namespace qm::reader {
namespace {

// Days whose bounds are remembered: well inside the years the zone library handles.
constexpr std::int64_t kCachedFromMs = -2'208'988'800'000;  // 1900-01-01
constexpr std::int64_t kCachedToMs = 253'370'764'800'000;   // 9999-01-01

std::uint32_t intern(std::string_view name, std::vector<std::string>& names,
                     std::unordered_map<std::string, std::uint32_t, pricing::StringHash, std::equal_to<>>& ids) {
  auto it = ids.find(name);
  if (it != ids.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(names.size());
  names.emplace_back(name);
  ids.emplace(names.back(), id);
  return id;
}

std::int64_t ms_of(const cctz::time_point<cctz::seconds>& tp) { return tp.time_since_epoch().count() * 1000; }

}  // namespace

void Usage::set_tokens(const TokenUsageRaw& tokens) {
  input = tokens.input;
  output = tokens.output;
  cache_creation = tokens.effective_cache_creation();
  cache_read = tokens.cache_read;
}

// Rows of one session or one model follow each other: the last name answers most calls.
std::uint32_t UsageList::model(std::string_view name) {
  if (last_model_ != Usage::kNoModel && models_[last_model_] == name) return last_model_;
  return last_model_ = intern(name, models_, model_ids_);
}

std::uint32_t BatchModels::id(std::uint32_t number, std::string_view name) {
  std::uint32_t& id = ids_[number];
  if (id == Usage::kNoModel) id = list_->model(name);
  return id;
}

std::uint32_t UsageList::day_id(std::string_view date_key) { return intern(date_key, days_, day_ids_); }

std::uint32_t UsageList::day_of(std::int64_t ms) {
  constexpr std::int64_t kDayMs = 86'400'000;
  const std::int64_t utc_day = ms >= 0 ? ms / kDayMs : (ms + 1) / kDayMs - 1;
  KnownDay& known = known_days_[static_cast<std::uint64_t>(utc_day) % known_days_.size()];
  if (known.from <= ms && ms < known.to) return known.day;
  const auto date = date_utils::local_civil_date(ms, *zone_);
  const std::uint32_t day = day_id(date_utils::format_ymd(date));
  if (ms > kCachedFromMs && ms < kCachedToMs) {
    // The bounds are the day's midnight and the next one, when each happens exactly once
    // (no clock change skips or repeats it): every instant between them is on this day.
    const cctz::civil_day civil(date.year, date.month, date.day);
    const auto start = zone_->lookup(cctz::civil_second(civil));
    const auto end = zone_->lookup(cctz::civil_second(civil + 1));
    if (start.kind == cctz::time_zone::civil_lookup::UNIQUE && end.kind == cctz::time_zone::civil_lookup::UNIQUE) {
      const std::int64_t from = ms_of(start.pre), to = ms_of(end.pre);
      if (from <= ms && ms < to) known = KnownDay{from, to, day};
    }
  }
  return day;
}

Usage& UsageList::push(std::int64_t time_ms, std::uint32_t model, std::uint32_t day) {
  if (size_ % kChunk == 0) chunks_.push_back(std::make_unique<Usage[]>(kChunk));
  Usage& u = chunks_.back()[size_ % kChunk];
  ++size_;
  u.time_ms = time_ms;
  u.model = model;
  u.day = day;
  return u;
}

void UsageList::truncate(std::size_t size) {
  if (size >= size_) return;
  // The dropped usages are cleared: add() leaves what its caller does not fill as it finds it.
  for (std::size_t i = size; i < size_; ++i) chunks_[i / kChunk][i % kChunk] = Usage{};
  size_ = size;
  chunks_.resize((size + kChunk - 1) / kChunk);  // add() starts a chunk where the last one is full
}

Usage& UsageList::add(std::int64_t time_ms, std::uint32_t model) { return push(time_ms, model, day_of(time_ms)); }

Usage& UsageList::add_on(std::string_view date_key, std::int64_t time_ms, std::uint32_t model) {
  return push(time_ms, model, day_id(date_key));
}

void UsageList::add_record(const UsageRecord& r) {
  Usage& u = add_on(r.date_key, r.timestamp_ms, r.model_key ? model(*r.model_key) : Usage::kNoModel);
  u.set_tokens(r.tokens);
  u.reasoning = r.reasoning;
  u.cost = r.cost;
  u.has_credits = r.credits.has_value();
  u.credits = r.credits.value_or(0.0);
  u.has_message_count = r.message_count.has_value();
  u.message_count = r.message_count.value_or(0);
  u.unpriced = r.unpriced.has_value();
}

std::vector<UsageGroup> UsageList::group_by_day(const std::function<bool(std::string_view)>& keep, bool by_time) const {
  std::vector<char> kept_day(days_.size());
  for (std::size_t d = 0; d < days_.size(); ++d) kept_day[d] = keep(days_[d]);

  // The usages of the kept days in time order (stable): as added when they were added so,
  // else (time, position) pairs sorted.
  bool in_order = true;
  std::int64_t latest = std::numeric_limits<std::int64_t>::min();
  for (std::size_t i = 0; by_time && in_order && i < size_; ++i) {
    const Usage& u = (*this)[i];
    if (!kept_day[u.day]) continue;
    in_order = u.time_ms >= latest;
    latest = u.time_ms;
  }
  std::vector<std::pair<std::int64_t, std::uint32_t>> order;
  if (!in_order) {
    order.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) {
      const Usage& u = (*this)[i];
      if (kept_day[u.day]) order.emplace_back(u.time_ms, static_cast<std::uint32_t>(i));
    }
    std::sort(order.begin(), order.end());
  }

  // The place of a (day, model) pair in the day's model usages: a flat table when the pairs
  // are few enough, else a map.
  constexpr std::uint32_t kNone = UINT32_MAX;
  const std::uint64_t pairs = static_cast<std::uint64_t>(days_.size()) * models_.size();
  std::vector<std::uint32_t> flat(pairs <= (1u << 20) ? pairs : 0, kNone);
  std::unordered_map<std::uint64_t, std::uint32_t> map;
  auto slot = [&](const Usage& u) -> std::uint32_t& {
    if (!flat.empty()) return flat[static_cast<std::uint64_t>(u.day) * models_.size() + u.model];
    return map.try_emplace(static_cast<std::uint64_t>(u.day) << 32 | u.model, kNone).first->second;
  };

  std::vector<UsageGroup> groups(days_.size());
  std::vector<char> used(days_.size(), 0);
  const std::size_t taken = in_order ? size_ : order.size();
  for (std::size_t n = 0; n < taken; ++n) {
    const Usage& u = (*this)[in_order ? n : order[n].second];
    if (in_order && !kept_day[u.day]) continue;
    UsageGroup& g = groups[u.day];
    used[u.day] = 1;
    TokenUsageRaw tokens;
    tokens.input = u.input;
    tokens.output = u.output;
    tokens.cache_creation = u.cache_creation;
    tokens.cache_read = u.cache_read;
    summary::add_to_group(g, tokens, u.reasoning, u.cost, u.has_credits ? std::optional(u.credits) : std::nullopt,
                          u.has_message_count ? std::optional(u.message_count) : std::nullopt);
    if (u.model == Usage::kNoModel) continue;
    std::uint32_t& at = slot(u);
    if (at == kNone) {
      at = static_cast<std::uint32_t>(g.model_usages.size());
      g.models.push_back(models_[u.model]);
      g.model_usages.push_back(ModelUsage{models_[u.model]});
    }
    summary::add_to_model(g.model_usages[at], tokens, u.reasoning, u.cost, u.unpriced);
  }

  std::vector<std::uint32_t> dated;
  for (std::size_t d = 0; d < days_.size(); ++d)
    if (used[d]) dated.push_back(static_cast<std::uint32_t>(d));
  std::sort(dated.begin(), dated.end(), [&](std::uint32_t a, std::uint32_t b) { return days_[a] < days_[b]; });
  std::vector<UsageGroup> out;
  out.reserve(dated.size());
  for (auto d : dated) {
    UsageGroup& g = out.emplace_back(std::move(groups[d]));
    sort::sort_model_usages(g.model_usages);
    g.label = days_[d];
  }
  return out;
}

}  // namespace qm::reader
