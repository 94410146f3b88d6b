#pragma once
// Claude Code log lines as priced usage records, one record per model reply, and their
// daily totals.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <cctz/time_zone.h>

#include "adapter/all/types.h"
#include "adapter/claude/key_index.h"
#include "json/strict.h"
#include "jsonl_reader.h"
#include "options.h"
#include "pricing/table.h"

namespace qm::claude {

// Whether some key of a fixed set ("costUSD", "requestId", "id", "model", ...) is followed
// directly by :null anywhere in the line. Allocates nothing.
bool line_has_null_key(std::string_view line);

// Digits "." digits "." digit at the start (1.0.35, 2.1.3-beta; not 1.0).
bool is_version_string(std::string_view text);

// Equal keys hash alike; a key without request id differs from every key with one.
std::uint64_t hash_dedup_key(std::string_view message_id, std::optional<std::string_view> request_id);

}  // namespace qm::claude

namespace qm::claude::daily {

// A model name shared by all records of a reader that name it.
using SharedText = std::shared_ptr<const std::string>;

struct DailyUsageRecord {
  TokenUsageRaw tokens;
  std::string date;                        // "YYYY-MM-DD" in the report zone
  SharedText model;                        // per-model key; null when none
  SharedText unpriced_model;               // null unless the price is missing
  std::optional<std::string> message_id;
  std::optional<std::string> request_id;
  double cost = 0.0;
  std::optional<bool> sidechain;
  bool has_speed = false;  // "speed" was given (a copy that has it is preferred)
};

// Reads log files one after another, reusing its buffer, parser and per-model prices; one
// per thread. Borrows the price table, which is null exactly under the display mode.
class FileReader {
 public:
  FileReader(const cctz::time_zone& zone, CostMode mode, const pricing::PricingTable* table);

  // The file's records in line order; nothing when the file cannot be read.
  std::vector<DailyUsageRecord> read(const std::filesystem::path& path);

 private:
  // A line that holds the usage text and is followed by the parser's padding.
  void read_line(std::string_view line, std::vector<DailyUsageRecord>& out);

  struct ModelEntry {
    SharedText name;       // as logged
    SharedText fast_key;   // name + "-fast", made on first use
    std::optional<pricing::ModelPrice> price;
  };
  ModelEntry& model_entry(std::string_view model);

  jsonl::LineReader lines_;
  json::StrictParser parser_;
  cctz::time_zone zone_;
  CostMode mode_;
  const pricing::PricingTable* table_;
  std::unordered_map<std::string, ModelEntry, pricing::StringHash, std::equal_to<>> models_;
};

// The records of one file in line order. Never fails.
std::vector<DailyUsageRecord> parse_daily_usage_file(const std::filesystem::path& path,
                                                     const std::optional<cctz::time_zone>& zone, CostMode mode,
                                                     const pricing::PricingTable* table);

// Keeps one record per reply, fed in input order (so a caller can free what it has fed).
class Deduper {
 public:
  void add(DailyUsageRecord record);
  // The kept records, in the order each reply was first met.
  std::vector<DailyUsageRecord> take() { return std::move(kept_); }

 private:
  std::vector<DailyUsageRecord> kept_;
  KeyIndex index_;
};

// One record per reply, in the order each reply was first met.
std::vector<DailyUsageRecord> dedup_records(std::vector<DailyUsageRecord> records);

// Daily groups in ascending date order.
std::vector<UsageGroup> group_by_day(const std::vector<DailyUsageRecord>& kept);

}  // namespace qm::claude::daily
