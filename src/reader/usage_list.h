#pragma once
// Usage records in the compact form the daily totals need: numbers, a model id and a day
// id, no texts. A reader of hundreds of thousands of rows adds them here instead of building
// full `UsageRecord`s; sorting and grouping then move 16-byte keys, never records.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <cctz/time_zone.h>

#include "adapter/all/types.h"
#include "pricing/table.h"

namespace qm::reader {

struct Usage {
  static constexpr std::uint32_t kNoModel = UINT32_MAX;

  std::int64_t time_ms = 0;
  std::uint64_t input = 0, output = 0;
  std::uint64_t cache_creation = 0;  // the 5-minute and 1-hour writes when they are split
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;
  double cost = 0.0;
  double credits = 0.0;             // when has_credits
  std::uint64_t message_count = 0;  // when has_message_count
  std::uint32_t model = kNoModel;   // per-model key, by UsageList::model
  std::uint32_t day = 0;            // date key, by UsageList::add
  bool has_credits = false, has_message_count = false;
  bool unpriced = false;

  void set_tokens(const TokenUsageRaw& tokens);
};

class UsageList;

// The model ids of the names a batch of items numbers (a batch's KeptTexts::keep_name): each
// name is looked up once a batch.
class BatchModels {
 public:
  explicit BatchModels(UsageList& list) : list_(&list) {}
  // For a batch of `names` names.
  void reset(std::size_t names) { ids_.assign(names, Usage::kNoModel); }
  std::uint32_t id(std::uint32_t number, std::string_view name);

 private:
  UsageList* list_;
  std::vector<std::uint32_t> ids_;
};

class UsageList {
 public:
  // Dates of instants are taken in this zone, which must outlive the list.
  explicit UsageList(const cctz::time_zone& zone) : zone_(&zone) {}

  // The id of a per-model key: the same for every usage of that name.
  std::uint32_t model(std::string_view name);
  // A usage at an instant, its date in the report time zone; the caller fills the rest.
  Usage& add(std::int64_t time_ms, std::uint32_t model);
  // A usage whose date key the reader gave.
  Usage& add_on(std::string_view date_key, std::int64_t time_ms, std::uint32_t model);
  // What the daily totals need of a full record.
  void add_record(const UsageRecord& record);

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  // Drops the usages added after the first `size` (a database read again, say).
  void truncate(std::size_t size);
  const Usage& operator[](std::size_t i) const { return chunks_[i / kChunk][i % kChunk]; }
  std::string_view model_name(std::uint32_t id) const { return models_[id]; }
  std::string_view date_key(std::uint32_t day) const { return days_[day]; }

  // The daily groups, in date order, of the usages whose date `keep` accepts, taken in time
  // order (stable) unless `by_time` is false (then in the order added): token sums, costs
  // summed in that order, models in order of first appearance.
  std::vector<UsageGroup> group_by_day(const std::function<bool(std::string_view)>& keep, bool by_time = true) const;

 private:
  std::uint32_t day_id(std::string_view date_key);
  std::uint32_t day_of(std::int64_t time_ms);
  Usage& push(std::int64_t time_ms, std::uint32_t model, std::uint32_t day);

  // In chunks, so that growing never copies what was added.
  static constexpr std::size_t kChunk = 1 << 14;

  using Ids = std::unordered_map<std::string, std::uint32_t, pricing::StringHash, std::equal_to<>>;
  const cctz::time_zone* zone_;
  std::vector<std::unique_ptr<Usage[]>> chunks_;
  std::size_t size_ = 0;
  std::vector<std::string> models_;
  Ids model_ids_;
  std::uint32_t last_model_ = Usage::kNoModel;
  std::vector<std::string> days_;
  Ids day_ids_;
  // Local days met lately, by their UTC day: the instants [from, to) fall on `day`.
  struct KnownDay {
    std::int64_t from = 1, to = 0;
    std::uint32_t day = 0;
  };
  std::array<KnownDay, 64> known_days_{};
};

}  // namespace qm::reader
