#pragma once
// Claude Code log lines as priced usage records, one record per model reply, and their
// daily totals.
#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <cctz/time_zone.h>

#include "adapter/all/types.h"
#include "date_utils.h"
#include "json/parser.h"
#include "jsonl_reader.h"
#include "options.h"
#include "pricing/table.h"

namespace qm::claude {

// Whether some key of a fixed set ("costUSD", "requestId", "id", "model", ...) is followed
// directly by :null anywhere in the line. Allocates nothing.
bool line_has_null_key(std::string_view line);

// Digits "." digits "." digit at the start (1.0.35, 2.1.3-beta; not 1.0).
bool is_version_string(std::string_view text);

// The hash under which the de-duplication index files a key (std::hash of the message id,
// optional request id). Equal keys hash alike; a collision costs a comparison, never a wrong
// merge.
std::uint64_t dedup_key_from_hash(std::uint64_t message_hash, std::optional<std::string_view> request_id);

}  // namespace qm::claude

namespace qm::claude::daily {

// A model name or per-model key, interned for the life of the process (logs name few), so
// that records point at it instead of each holding a copy.
const std::string* intern_model_name(std::string_view name);

// What the report needs of one log line's reply, kept for every reply until all files are
// read: de-duplication compares copies by their ids, side and size, and the day totals add
// up the rest.
struct DailyUsageRecord {
  DailyUsageRecord() = default;
  DailyUsageRecord(const DailyUsageRecord& other) { *this = other; }
  DailyUsageRecord(DailyUsageRecord&&) noexcept = default;
  DailyUsageRecord& operator=(const DailyUsageRecord& other);
  DailyUsageRecord& operator=(DailyUsageRecord&&) noexcept = default;

  TokenUsageRaw tokens;
  double cost = 0.0;
  const std::string* model = nullptr;  // per-model key, interned; null when none
  std::int64_t day = 0;                // the local date in the report zone, as days since 1970-01-01
  std::optional<bool> sidechain;
  bool has_speed = false;  // "speed" was given (a copy that has it is preferred)
  bool unpriced = false;   // the model has no price where the cost mode asks for one

  // "YYYY-MM-DD"
  std::string date() const;
  void set_date(const date_utils::CivilDate& date);

  std::optional<std::string_view> message_id() const {
    if (!has_message_id_) return std::nullopt;
    return ids().substr(0, message_id_size_);
  }
  std::optional<std::string_view> request_id() const {
    if (!has_request_id_) return std::nullopt;
    return ids().substr(message_id_size_);
  }
  void set_ids(std::optional<std::string_view> message_id, std::optional<std::string_view> request_id);
  // Made by set_ids while the texts are at hand: std::hash of the message id, and
  // dedup_key_from_hash of it with the request id.
  std::uint64_t message_hash() const { return message_hash_; }
  std::uint64_t exact_key() const { return exact_key_; }

 private:
  // The message id, then the request id: in the record itself when they fit, as the ids
  // Claude Code writes do (no allocation per line, and they lie beside the hashes), else in
  // long_ids_.
  std::string_view ids() const { return std::string_view(long_ids_ ? long_ids_.get() : short_ids_.data(), ids_size_); }
  std::uint64_t message_hash_ = 0;
  std::uint64_t exact_key_ = 0;
  std::unique_ptr<char[]> long_ids_;
  std::uint32_t ids_size_ = 0;
  std::uint32_t message_id_size_ = 0;
  bool has_message_id_ = false;
  bool has_request_id_ = false;
  std::array<char, 56> short_ids_{};
};

// Reads log files one after another, reusing its buffer, parser and per-model prices; one
// per thread. Borrows the price table, which is null exactly under the display mode.
class FileReader {
 public:
  FileReader(const cctz::time_zone& zone, CostMode mode, const pricing::PricingTable* table);

  // The records of the file's lines, or of one part's (jsonl::FilePart), in line order, but
  // that a run of copies of one reply that follow each other is kept as the one copy that
  // de-duplication would keep of them (dedup_records gives the same for the lists of a file's
  // parts as for the file's own); the system's text when the file cannot be read.
  std::expected<std::vector<DailyUsageRecord>, std::string> read(const std::filesystem::path& path,
                                                                 const jsonl::FilePart& part = {});

 private:
  // A line that holds the usage text and is followed by the parser's padding.
  void read_line(std::string_view line, std::vector<DailyUsageRecord>& out);

  struct ModelEntry {
    const std::string* name = nullptr;      // as logged
    const std::string* fast_key = nullptr;  // name + "-fast", made on first use
    std::optional<pricing::ModelPrice> price;
  };
  ModelEntry& model_entry(std::string_view model);

  jsonl::LineReader lines_;
  json::StrictParser parser_;
  date_utils::LocalDays days_;
  CostMode mode_;
  const pricing::PricingTable* table_;
  std::unordered_map<std::string, ModelEntry, pricing::StringHash, std::equal_to<>> models_;
};

// The records of one file in line order. Never fails.
std::vector<DailyUsageRecord> parse_daily_usage_file(const std::filesystem::path& path,
                                                     const std::optional<cctz::time_zone>& zone, CostMode mode,
                                                     const pricing::PricingTable* table);

// Whether copy r of a reply replaces the kept copy k.
bool replaces(const DailyUsageRecord& r, const DailyUsageRecord& k);

// One record per reply, in the order each reply was first met.
std::vector<DailyUsageRecord> dedup_records(std::vector<DailyUsageRecord> records);

// dedup_records of the lists concatenated, without moving them: the kept records are
// pointers into the lists. With two or more workers the records are spread over threads by
// message id (every copy of a reply has the same one; replies of different ids never meet).
std::vector<const DailyUsageRecord*> dedup_in_place(const std::vector<std::vector<DailyUsageRecord>>& lists,
                                                    std::size_t workers);

// Daily groups in ascending date order; with two or more workers the days are added up on
// several threads, to the same sums.
std::vector<UsageGroup> group_by_day(const std::vector<DailyUsageRecord>& kept);
std::vector<UsageGroup> group_by_day(const std::vector<const DailyUsageRecord*>& kept, std::size_t workers = 1);

}  // namespace qm::claude::daily
