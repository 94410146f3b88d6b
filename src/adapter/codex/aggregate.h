#pragma once
// The Codex reader: rollout events counted once across all files, added up per local day
// and priced per model.
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "adapter/codex/home.h"
#include "adapter/codex/parser.h"
#include "parallel.h"
#include "pricing/table.h"

namespace qm::codex::aggregate {

// The counts of a report summed, each saturating.
struct CodexModelTotals : parser::TokenCounts {
  void add(const parser::TokenCounts& c);
  bool operator==(const CodexModelTotals&) const = default;
};

struct CodexDayBucket {
  std::optional<std::string> last_activity;  // the greatest timestamp text of its events
  CodexModelTotals sums;
  std::map<std::string, CodexModelTotals> models;

  bool operator==(const CodexDayBucket&) const = default;
};

// Keyed by the local date "YYYY-MM-DD".
using BucketMap = std::map<std::string, CodexDayBucket>;
void merge_buckets(BucketMap& into, BucketMap from);

// Model names as small numbers, shared by the workers of one run.
class ModelNames {
 public:
  std::uint32_t id(std::string_view name);
  const std::string& name(std::uint32_t id) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::uint32_t, pricing::StringHash, std::equal_to<>> ids_;
  std::deque<std::string> names_;
};

// An event's identity: its instant, model and five counts (not its file or line).
struct EventKey {
  std::int64_t instant_ms = 0;
  std::uint32_t model = 0;
  parser::TokenCounts counts;

  bool operator==(const EventKey&) const = default;
};
std::uint64_t hash_event_key(const EventKey& key);

// The event keys met so far, split into shards by hash. Nothing is locked: a run fills each
// shard from one thread only.
class EventKeySet {
 public:
  explicit EventKeySet(std::size_t shards);
  ~EventKeySet();
  std::size_t shard_count() const { return shards_.size(); }
  std::size_t shard_of(std::uint64_t hash) const;
  // Room for that many more keys in the shard, so that filling it never grows its table.
  void reserve(std::size_t shard, std::size_t keys);
  // True when the key was new.
  bool insert(const EventKey& key);
  bool insert(std::size_t shard, const EventKey& key, std::uint64_t hash);

 private:
  struct Shard;
  std::vector<std::unique_ptr<Shard>> shards_;
};

// An event inside the date range, waiting to be counted once: its key, the key's hash and
// its local day (days since 1970-01-01).
struct PendingEvent {
  EventKey key;
  std::uint64_t hash = 0;
  std::int64_t day = 0;
};
// One worker's pending events, one list per key shard.
using PendingEvents = std::vector<std::vector<PendingEvent>>;

// What one run's workers share: the key set, the model names and each worker's pending
// events. The events are counted once all files are read, each shard on one thread.
struct SharedState {
  explicit SharedState(std::size_t shards) : keys(shards) {}
  EventKeySet keys;
  ModelNames models;
  std::mutex mutex;  // guards `workers` while workers start
  std::deque<PendingEvents> workers;
  PendingEvents& add_worker();  // a list of the worker's own, kept until the counting
};

// Each pending event whose key is new, added to its day and model; on up to `workers`
// threads. The buckets have no last activity (the file readings give it).
BucketMap count_pending_events(SharedState& shared, std::size_t workers);

struct FileTotals {
  BucketMap days;   // the days inside the date range with their last activity; counts come later
  bool saw_events = false;  // any event was read, inside the range or not
  UnreadFiles unread;       // the files that could not be read to their end, in file order
};

// One file list on the calling thread, or spread over worker threads by size.
std::expected<FileTotals, std::string> aggregate_files(const std::vector<std::filesystem::path>& files,
                                                       const all::loader::LoadOptions& options, SharedState& shared);
// With two processors or more, a large file is cut into parts (parallel::PartSizes) that
// several workers read at once.
std::expected<FileTotals, std::string> aggregate_files_parallel(const std::vector<std::filesystem::path>& files,
                                                                const all::loader::LoadOptions& options,
                                                                SharedState& shared,
                                                                const parallel::PartSizes& sizes = {});

AgentLoadResult load_codex_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& prices);

// Prices looked up once per model name.
class ModelPrices {
 public:
  explicit ModelPrices(const pricing::PricingTable& table) : table_(table) {}
  const std::optional<pricing::ModelPrice>& get(const std::string& model);

 private:
  const pricing::PricingTable& table_;
  std::map<std::string, std::optional<pricing::ModelPrice>, std::less<>> cache_;
};

double row_cost(std::string_view model, const CodexModelTotals& totals, const pricing::PricingTable& prices,
                home::CodexServiceTier tier);
double row_cost(const std::optional<pricing::ModelPrice>& price, const CodexModelTotals& totals,
                home::CodexServiceTier tier);

}  // namespace qm::codex::aggregate
