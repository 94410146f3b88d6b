#include "adapter/codex/aggregate.h"

#include <algorithm>
#include <bit>
#include <limits>

#include <fmt/core.h>

#include "adapter/codex/usage_row.h"
#include "date_utils.h"
#include "hash_mix.h"
#include "parallel.h"
#include "pricing/lookup.h"
#include "reader/files.h"
#include "util.h"
#include "util_files.h"

namespace qm::codex::aggregate {

void CodexModelTotals::add(const parser::TokenCounts& c) {
  input = util::saturating_add(input, c.input);
  cached_input = util::saturating_add(cached_input, c.cached_input);
  output = util::saturating_add(output, c.output);
  reasoning_output = util::saturating_add(reasoning_output, c.reasoning_output);
  total = util::saturating_add(total, c.total);
}

void merge_buckets(BucketMap& into, BucketMap from) {
  for (auto& [date, bucket] : from) {
    auto [it, fresh] = into.try_emplace(date);
    if (fresh) {
      it->second = std::move(bucket);
      continue;
    }
    CodexDayBucket& b = it->second;
    b.sums.add(bucket.sums);
    if (bucket.last_activity && (!b.last_activity || *bucket.last_activity > *b.last_activity))
      b.last_activity = std::move(bucket.last_activity);
    for (auto& [model, totals] : bucket.models) b.models[model].add(totals);
  }
}

std::uint32_t ModelNames::id(std::string_view name) {
  std::lock_guard lock(mutex_);
  auto it = ids_.find(name);
  if (it != ids_.end()) return it->second;
  auto id = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  ids_.emplace(names_.back(), id);
  return id;
}

const std::string& ModelNames::name(std::uint32_t id) const {
  std::lock_guard lock(mutex_);
  return names_[id];  // a deque keeps its elements in place as it grows
}

std::uint64_t hash_event_key(const EventKey& k) {
  std::uint64_t h = hash_mix::combine(0, static_cast<std::uint64_t>(k.instant_ms));
  h = hash_mix::combine(h, k.model);
  h = hash_mix::combine(h, k.counts.input);
  h = hash_mix::combine(h, k.counts.cached_input);
  h = hash_mix::combine(h, k.counts.output);
  h = hash_mix::combine(h, k.counts.reasoning_output);
  return hash_mix::combine(h, k.counts.total);
}

// Open addressing over the positions of the keys, which lie side by side: a probe touches 16
// bytes, and keys are compared only when their hashes are equal.
struct EventKeySet::Shard {
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t index = 0;  // 1 + position in `keys`; 0: the slot is free
  };
  std::vector<Slot> slots;  // a power of two in size, at most half full
  std::vector<EventKey> keys;

  void resize(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots);
    slots.assign(std::max<std::size_t>(16, std::bit_ceil(2 * capacity)), Slot{});
    const std::size_t mask = slots.size() - 1;
    for (const Slot& s : old) {
      if (s.index == 0) continue;
      std::size_t i = s.hash & mask;
      while (slots[i].index != 0) i = (i + 1) & mask;
      slots[i] = s;
    }
  }

  bool insert(const EventKey& key, std::uint64_t hash) {
    if (2 * (keys.size() + 1) > slots.size()) resize(2 * (keys.size() + 1));
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots[i];
      if (s.index == 0) {
        keys.push_back(key);
        s = Slot{hash, static_cast<std::uint32_t>(keys.size())};
        return true;
      }
      if (s.hash == hash && keys[s.index - 1] == key) return false;
    }
  }
};

EventKeySet::EventKeySet(std::size_t shards) {
  shards_.resize(std::max<std::size_t>(1, shards));
  for (auto& s : shards_) s = std::make_unique<Shard>();
}

EventKeySet::~EventKeySet() = default;

std::size_t EventKeySet::shard_of(std::uint64_t hash) const {
  // Other bits of the hash than those that pick the slot inside the shard.
  return std::rotl(hash, 26) % shards_.size();
}

void EventKeySet::reserve(std::size_t shard, std::size_t keys) {
  Shard& s = *shards_[shard];
  s.keys.reserve(s.keys.size() + keys);
  if (2 * (s.keys.size() + keys) > s.slots.size()) s.resize(s.keys.size() + keys);
}

bool EventKeySet::insert(const EventKey& key) {
  const std::uint64_t h = hash_event_key(key);
  return insert(shard_of(h), key, h);
}

bool EventKeySet::insert(std::size_t shard, const EventKey& key, std::uint64_t hash) {
  return shards_[shard]->insert(key, hash);
}

PendingEvents& SharedState::add_worker() {
  std::lock_guard lock(mutex);
  return workers.emplace_back(keys.shard_count());
}

BucketMap count_pending_events(SharedState& shared, std::size_t workers) {
  struct Counts {
    CodexModelTotals sums;
    std::vector<std::pair<std::uint32_t, CodexModelTotals>> models;  // by model id, few
  };
  using Days = std::unordered_map<std::int64_t, Counts>;
  std::vector<Days> per_shard(shared.keys.shard_count());
  parallel::run_tasks(per_shard.size(), workers, [&](std::size_t shard) {
    std::size_t n = 0;
    for (const auto& w : shared.workers) n += w[shard].size();
    shared.keys.reserve(shard, n);
    Days& days = per_shard[shard];
    for (auto& w : shared.workers) {
      for (const PendingEvent& e : w[shard]) {
        if (!shared.keys.insert(shard, e.key, e.hash)) continue;
        Counts& c = days[e.day];
        c.sums.add(e.key.counts);
        auto it = std::find_if(c.models.begin(), c.models.end(), [&](const auto& m) { return m.first == e.key.model; });
        if (it == c.models.end()) it = c.models.insert(c.models.end(), {e.key.model, {}});
        it->second.add(e.key.counts);
      }
      std::vector<PendingEvent>().swap(w[shard]);
    }
  });
  // Saturating sums do not depend on the order of their terms, so neither does the result.
  BucketMap out;
  for (const Days& days : per_shard) {
    for (const auto& [day, c] : days) {
      CodexDayBucket& b = out[date_utils::format_ymd(date_utils::civil_from_days(day))];
      b.sums.add(c.sums);
      for (const auto& [id, totals] : c.models) b.models[shared.models.name(id)].add(totals);
    }
  }
  return out;
}

namespace {

void add_totals(FileTotals& total, FileTotals from) {
  total.saw_events = total.saw_events || from.saw_events;
  total.unread.add(from.unread);
  merge_buckets(total.days, std::move(from.days));
}

// An event of a part of a file that takes the model current at the part's start, which waits
// for the parts before it.
struct InheritingEvent {
  std::int64_t instant_ms = 0;
  std::int64_t day = 0;
  parser::TokenCounts counts;
  std::string_view stand_in;  // static: what "codex-auto-review" stands for on its date
};

// What one worker's reading of a file, or of one part of a file, gives.
struct Reading {
  std::expected<FileTotals, std::string> totals;  // the day totals, or the sink's failure
  // A part's: where its reading ended, whether it read to its end, its own events and those
  // that wait for the model.
  jsonl::FilePart part;
  std::optional<parser::PartEnd> end;
  bool read_to_end = true;
  PendingEvents* pending = nullptr;
  std::vector<InheritingEvent> inheriting;
};

// Adds one worker's events up per day; one per worker thread, reused for its files.
class DayAggregator final : public parser::EventSink {
 public:
  DayAggregator(const all::loader::LoadOptions& options, SharedState& shared)
      : local_days_(options.zone), range_(options.range()), shared_(shared) {}

  std::expected<FileTotals, std::string> read(const std::filesystem::path& file) {
    begin(own_list(), nullptr);
    auto r = parser::parse_rollout_file_aggregated(file, reader_, *this);
    if (!r) return std::unexpected(std::move(r.error()));
    FileTotals out = finish();
    if (const auto& why = reader_.unreadable()) out.unread.add(file.native(), *why);
    return out;
  }

  // One part of a file cut into parts: its events go to a list of the part's own.
  Reading read_part(const std::filesystem::path& file, const parser::RolloutFile& shared,
                    const jsonl::FilePart& part) {
    Reading out;
    out.part = part;
    out.pending = &shared_.add_worker();
    begin(*out.pending, &out.inheriting);
    auto end = reader_.read_part(file, shared, part, *this);
    out.read_to_end = !reader_.unreadable();
    if (!end) {
      out.totals = std::unexpected(std::move(end.error()));
      return out;
    }
    out.end = std::move(*end);
    out.totals = finish();
    return out;
  }

  // The lines of the part that waited for the state at its start, and the events that
  // waited for its model; none when the part, or the reading of the file, cannot go on so.
  std::optional<parser::FileState> finish_part(const std::filesystem::path& file, const parser::RolloutFile& shared,
                                               Reading& part, parser::FileState start) {
    begin(*part.pending, nullptr);
    const std::optional<std::string> start_model = start.current_model;
    auto state = reader_.finish_part(file, shared, part.part, *part.end, std::move(start), *this);
    if (!state || reader_.unreadable()) return std::nullopt;
    add_totals(*part.totals, finish());
    for (const InheritingEvent& e : part.inheriting)
      pend(e.instant_ms, e.day, parser::inherited_model(start_model, e.stand_in), e.counts);
    std::vector<InheritingEvent>().swap(part.inheriting);
    return std::move(*state);
  }

  std::expected<void, std::string> offer(const parser::EventView& e) override {
    auto ms = date_utils::parse_timestamp_ms(e.timestamp);
    if (!ms) return std::unexpected(fmt::format("Invalid Codex timestamp: {}", e.timestamp));
    saw_events_ = true;
    // A repeat of an event has its instant, hence its day: keys of days outside the range
    // need not be kept.
    auto& [number, day] = day_of(*ms);
    if (!day.in_range) return {};
    // A repeat counts towards the last activity too, so that two spellings of one instant
    // give the same text whichever of them a worker met first.
    if (!day.last_activity)
      day.last_activity.emplace(e.timestamp);
    else if (e.timestamp > *day.last_activity)
      day.last_activity->assign(e.timestamp);
    if (e.model.empty())
      inheriting_->push_back(InheritingEvent{*ms, number, e.counts, e.stand_in});
    else
      pend(*ms, number, e.model, e.counts);
    return {};
  }

 private:
  struct Day {
    std::string date;
    bool in_range = false;
    std::optional<std::string> last_activity;
  };

  PendingEvents& own_list() {
    if (!own_) own_ = &shared_.add_worker();
    return *own_;
  }

  void begin(PendingEvents& pending, std::vector<InheritingEvent>* inheriting) {
    days_.clear();
    saw_events_ = false;
    pending_ = &pending;
    inheriting_ = inheriting;
  }

  void pend(std::int64_t ms, std::int64_t day, std::string_view model, const parser::TokenCounts& counts) {
    PendingEvent p{EventKey{ms, model_id(model), counts}, 0, day};
    p.hash = hash_event_key(p.key);
    (*pending_)[shared_.keys.shard_of(p.hash)].push_back(p);
  }

  std::uint32_t model_id(std::string_view model) {
    // A file names few models, mostly one after another; ask the shared table only for new ones.
    if (last_model_ && last_model_->first == model) return last_model_->second;
    for (auto& m : known_models_)
      if (m.first == model) {
        last_model_ = &m;
        return m.second;
      }
    known_models_.emplace_back(std::string(model), shared_.models.id(model));
    last_model_ = &known_models_.back();
    return last_model_->second;
  }

  // The day's number (days since 1970-01-01) and what the file has seen of it.
  std::pair<const std::int64_t, Day>& day_of(std::int64_t ms) {
    auto civil = local_days_.civil_date(ms);
    std::int64_t number = date_utils::days_from_civil(civil);
    auto [it, fresh] = days_.try_emplace(number);
    if (fresh) {
      it->second.date = date_utils::format_ymd(civil);
      it->second.in_range = all::loader::in_date_range(range_, it->second.date);
    }
    return *it;
  }

  FileTotals finish() {
    FileTotals out;
    out.saw_events = saw_events_;
    for (auto& [number, day] : days_)
      if (day.in_range) out.days[day.date].last_activity = std::move(day.last_activity);
    return out;
  }

  date_utils::LocalDays local_days_;
  all::loader::DateRange range_;
  SharedState& shared_;
  PendingEvents* own_ = nullptr;  // for the files read whole
  PendingEvents* pending_ = nullptr;
  std::vector<InheritingEvent>* inheriting_ = nullptr;
  parser::RolloutReader reader_;
  std::unordered_map<std::int64_t, Day> days_;
  bool saw_events_ = false;
  std::deque<std::pair<std::string, std::uint32_t>> known_models_;
  std::pair<std::string, std::uint32_t>* last_model_ = nullptr;
};

// A file read in parts, as reading it whole gives it: the parts that waited for the state at
// their starts are finished in order. When a part could not be read to its end or its sink
// failed, what the parts gave is dropped and the file is read again whole, so that the
// events up to the failure, and the failure, are those of one reading from the start.
std::expected<FileTotals, std::string> join_parts(const std::filesystem::path& file,
                                                  const parser::RolloutFile& shared, std::vector<Reading>& parts,
                                                  DayAggregator& agg) {
  bool whole = std::all_of(parts.begin(), parts.end(), [](const Reading& r) { return r.totals && r.read_to_end; });
  parser::FileState state;
  for (std::size_t k = 0; whole && k < parts.size(); ++k) {
    auto next = agg.finish_part(file, shared, parts[k], std::move(state));
    if (!next) whole = false;
    else state = std::move(*next);
  }
  if (whole) {
    FileTotals total;
    for (auto& r : parts) add_totals(total, std::move(*r.totals));
    return total;
  }
  for (auto& r : parts) {
    if (r.pending)
      for (auto& shard : *r.pending) std::vector<PendingEvent>().swap(shard);
  }
  return agg.read(file);
}

std::expected<FileTotals, std::string> aggregate_with(const std::vector<std::filesystem::path>& files,
                                                      std::size_t workers, const all::loader::LoadOptions& options,
                                                      SharedState& shared, const parallel::PartSizes& sizes) {
  // What the parts of a cut file share, found by whichever worker gets to one of them first.
  std::vector<parser::RolloutFile> cut(files.size());
  std::vector<std::once_flag> found(files.size());
  parallel::OpenFiles open;
  auto per_file = parallel::map_file_parts<Reading>(files, workers, sizes, open, [&] {
    return [&, agg = std::make_unique<DayAggregator>(options, shared),
            reader = std::make_unique<parser::RolloutReader>()](std::size_t i, const jsonl::FilePart& part) {
      if (part.whole() && part.count == 1) {
        Reading r;
        r.totals = agg->read(files[i]);
        return r;
      }
      std::call_once(found[i], [&] { cut[i] = reader->prepare(files[i]); });
      return agg->read_part(files[i], cut[i], part);
    };
  });
  // In file order: the first failing file gives the error, whatever the number of workers.
  DayAggregator joiner(options, shared);
  FileTotals total;
  for (std::size_t i = 0; i < per_file.size(); ++i) {
    auto& parts = per_file[i];
    auto r = parts.size() == 1 && !parts[0].end ? std::move(parts[0].totals) : join_parts(files[i], cut[i], parts, joiner);
    if (!r) return std::unexpected(std::move(r.error()));
    add_totals(total, std::move(*r));
  }
  return total;
}

}  // namespace

std::expected<FileTotals, std::string> aggregate_files(const std::vector<std::filesystem::path>& files,
                                                       const all::loader::LoadOptions& options, SharedState& shared) {
  // One after the other; the first failure ends the list.
  DayAggregator agg(options, shared);
  FileTotals total;
  for (const auto& f : files) {
    auto r = agg.read(f);
    if (!r) return std::unexpected(std::move(r.error()));
    add_totals(total, std::move(*r));
  }
  return total;
}

std::expected<FileTotals, std::string> aggregate_files_parallel(const std::vector<std::filesystem::path>& files,
                                                                const all::loader::LoadOptions& options,
                                                                SharedState& shared, const parallel::PartSizes& sizes) {
  const std::size_t workers = parallel::available_processors();
  if (workers < 2) return aggregate_files(files, options, shared);
  return aggregate_with(files, workers, options, shared, sizes);
}

AgentLoadResult load_codex_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& prices) {
  auto dirs = home::session_dirs();
  if (!dirs) return std::unexpected(dirs.error());
  AgentUsage usage;
  if (dirs->empty()) return usage;

  // Without a date range and with one, the events take the same road: counted once by
  // instant, then added up per day when the day lies in the range. So a range never changes
  // the totals of the days it keeps; only the keys of days inside the range are held.
  const std::size_t workers = options.common.single_thread ? 1 : parallel::available_processors();
  // Several shards a worker, so that a slow worker holds up little of the counting.
  SharedState shared(workers < 2 ? 1 : 4 * workers);
  // The files of every session directory in one list, in directory order: the first
  // failing file is the same, and no worker waits for the end of a directory.
  std::vector<std::filesystem::path> files;
  for (auto& entry : home::unique_rollout_files(*dirs)) {
    reader::add_unlisted(entry.unlisted, usage.unread);
    files.insert(files.end(), std::make_move_iterator(entry.files.begin()), std::make_move_iterator(entry.files.end()));
  }
  auto r = options.common.single_thread ? aggregate_files(files, options, shared)
                                        : aggregate_files_parallel(files, options, shared);
  if (!r) return std::unexpected(std::move(r.error()));
  usage.detected = r->saw_events;
  usage.unread.add(r->unread);
  BucketMap total = std::move(r->days);
  merge_buckets(total, count_pending_events(shared, workers));

  auto tier = home::configured_service_tier();
  ModelPrices model_prices(prices);
  for (const auto& [date, bucket] : total) usage.rows.push_back(all::loader::codex_usage_row(date, bucket, model_prices, tier));
  return usage;
}

const std::optional<pricing::ModelPrice>& ModelPrices::get(const std::string& model) {
  auto it = cache_.find(model);
  if (it == cache_.end()) it = cache_.emplace(model, pricing::price_for_model(table_, model)).first;
  return it->second;
}

double row_cost(const std::optional<pricing::ModelPrice>& price, const CodexModelTotals& t,
                home::CodexServiceTier tier) {
  if (!price) return 0.0;
  // A cache-read price that the source did not give is only a guess: cached input then
  // costs as much as any other input.
  double cached_rate = price->explicit_cache_read ? price->cache_read : price->input;
  std::uint64_t uncached = t.input > t.cached_input ? t.input - t.cached_input : 0;
  double cost = price->input * static_cast<double>(uncached) + cached_rate * static_cast<double>(t.cached_input) +
                price->output * static_cast<double>(t.output);
  if (tier == home::CodexServiceTier::Fast) cost *= price->fast_multiplier == 1.0 ? 2.0 : price->fast_multiplier;
  return cost;
}

double row_cost(std::string_view model, const CodexModelTotals& totals, const pricing::PricingTable& prices,
                home::CodexServiceTier tier) {
  return row_cost(pricing::price_for_model(prices, model), totals, tier);
}

}  // namespace qm::codex::aggregate
