#pragma once
// The shared records through which every agent reader hands its usage to the core.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "adapter/all/agent_kind.h"

namespace qm {

enum class Speed : std::uint8_t { Standard = 0, Fast = 1 };

struct CacheCreationRaw {
  std::uint64_t ephemeral_5m = 0;
  std::uint64_t ephemeral_1h = 0;
};

struct TokenUsageRaw {
  std::optional<CacheCreationRaw> cache_creation_split;
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cache_creation = 0;
  std::uint64_t cache_read = 0;
  Speed speed = Speed::Standard;

  // 5-minute plus 1-hour writes when the split is known, else the plain count.
  std::uint64_t effective_cache_creation() const;
};

// What the core reads of a usage event; a reader keeps whatever else it needs (ids for
// de-duplication, session names, timestamps as text) in its own items.
struct UsageRecord {
  TokenUsageRaw tokens;
  std::optional<std::string> model;
  std::optional<double> recorded_cost;
  std::optional<double> credits;
  std::optional<std::uint64_t> message_count;
  std::string date_key;                   // "YYYY-MM-DD" in the report time zone
  std::optional<std::string> model_key;   // per-model breakdown key; none = no per-model entry
  std::optional<std::string> unpriced;    // present when the price is missing or estimated
  std::int64_t timestamp_ms = 0;
  double cost = 0.0;
  std::uint64_t reasoning = 0;
};

struct ModelUsage {
  std::string model;
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cache_creation = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;
  double cost = 0.0;
  bool unpriced = false;

  bool operator==(const ModelUsage&) const = default;
};

struct TokenTotals {
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cache_creation = 0;
  std::uint64_t cache_read = 0;

  bool operator==(const TokenTotals&) const = default;
};

struct UsageGroup {
  std::optional<double> credits;
  std::optional<std::uint64_t> extra_count;
  std::vector<std::string> models;       // first-appearance order
  std::vector<ModelUsage> model_usages;  // cost descending
  std::optional<std::string> label;
  TokenTotals totals;
  std::uint64_t reasoning = 0;
  double cost = 0.0;
};

// A Codex day's extra values: its last activity as logged (none when no event said) and its
// reasoning output tokens.
struct CodexDayMetadata {
  std::optional<std::string> last_activity;
  std::uint64_t reasoning_output_tokens = 0;

  bool operator==(const CodexDayMetadata&) const = default;
};

// The extra values of a row that only the JSON document of a row carries
// (adapter/all/row_metadata.h writes them).
struct RowMetadata {
  std::optional<double> credits;
  std::optional<CodexDayMetadata> codex;

  bool operator==(const RowMetadata&) const = default;
};

struct UsageRow {
  std::string label;
  std::vector<std::string> models;
  std::vector<ModelUsage> model_usages;
  std::vector<std::string> agents;
  std::optional<std::vector<UsageRow>> parts;
  std::optional<RowMetadata> metadata;
  std::string agent_id;
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cache_creation = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t total = 0;
  double cost = 0.0;

  bool operator==(const UsageRow&) const = default;
};

// The files (or databases) a reader found but could not read or decode: their usage is not
// counted, and the framework says so once per agent. The first is the first in the reader's
// own order, so the line does not depend on the number of workers.
struct UnreadFiles {
  std::size_t count = 0;
  std::string first_path;
  std::string first_reason;

  void add(std::string_view path, std::string_view reason);
  void add(const UnreadFiles& other);
  bool empty() const { return count == 0; }
  bool operator==(const UnreadFiles&) const = default;
};

struct AgentUsage {
  std::vector<UsageRow> rows;
  bool detected = false;
  UnreadFiles unread;
};

using AgentLoadResult = std::expected<AgentUsage, std::string>;

namespace all::types {

// Every token sum saturates at 2^64 - 1.
void add_token_totals(TokenTotals& totals, const TokenUsageRaw& block);
// The block's four counts and the reasoning tokens, into one model's share.
void add_model_tokens(ModelUsage& into, const TokenUsageRaw& block, std::uint64_t reasoning);
// Counts, cost and the unpriced flag of another share of the same model.
void add_model_usage(ModelUsage& into, const ModelUsage& from);
// The four counts, the total and the cost of another row.
void add_row_usage(UsageRow& into, const UsageRow& from);

struct Reconciled {
  TokenUsageRaw block;
  std::uint64_t extra = 0;

  // The four counts and the extra count are all 0: a usage that counts nothing.
  bool counts_nothing() const {
    return block.input == 0 && block.output == 0 && block.effective_cache_creation() == 0 && block.cache_read == 0 &&
           extra == 0;
  }
};
Reconciled reconcile_token_total(const TokenUsageRaw& block, std::uint64_t extra, std::uint64_t reported_total);

// (non-cached input, cache read) of a reply whose input count may already hold its cached
// tokens: it does when the reported total is the input and the `other` counts, the cached ones
// not added again.
std::pair<std::uint64_t, std::uint64_t> split_cached_input(std::uint64_t input, std::uint64_t cached,
                                                           std::optional<std::uint64_t> total, std::uint64_t other);

// "WARN  Could not read 2 Gemini CLI files; their usage is not counted. First: {path}: {reason}"
// (with a newline); nothing when every file was read.
std::string unread_files_warning(std::string_view display_name, const UnreadFiles& unread);

}  // namespace all::types
}  // namespace qm
