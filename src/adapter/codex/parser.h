#pragma once
// Codex rollout files: which lines carry usage, and the token reports they hold, each as
// the tokens spent since the previous report.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/strict.h"
#include "jsonl_reader.h"

namespace qm::codex::parser {

struct TokenCounts {
  std::uint64_t input = 0;
  std::uint64_t cached_input = 0;
  std::uint64_t output = 0;
  std::uint64_t reasoning_output = 0;
  std::uint64_t total = 0;

  bool operator==(const TokenCounts&) const = default;
};

struct CodexUsageEvent {
  std::string timestamp;
  std::string model;
  TokenCounts counts;

  bool operator==(const CodexUsageEvent&) const = default;
};

// An event borrowed for the length of one sink call.
struct EventView {
  std::string_view timestamp;
  std::string_view model;
  const TokenCounts& counts;
};

// Where a file's events go; an error stops the reading of the file.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual std::expected<void, std::string> offer(const EventView& event) = 0;
};

enum class LineKind : std::uint8_t { Other = 0, Session = 1, Usage = 2 };

// By substring tests alone; no JSON is read.
LineKind line_kind(std::string_view line);

// A JSON integer from 0 to 2^64 - 1, or a string holding one (trimmed, optional "+").
std::optional<std::uint64_t> lenient_count(simdjson::dom::element value);

// A usage object (the twelve count keys) normalised to five counts.
enum class UsageStatus : std::uint8_t { NotObject, Unreadable, Read };
struct NormalisedUsage {
  UsageStatus status = UsageStatus::NotObject;
  TokenCounts counts;
};
NormalisedUsage normalise_usage(simdjson::dom::element value);

// Each count of total minus previous (0 when previous is larger); total itself without one.
TokenCounts token_usage_delta(const TokenCounts& total, const std::optional<TokenCounts>& previous);

// The per-file state that the reading of one rollout carries from line to line.
struct FileState {
  std::optional<std::string> current_model;
  std::optional<TokenCounts> previous_total;
  std::optional<std::string> replay_prefix;
  bool skipping = false;
  std::optional<std::string> fallback_time;  // taken on first use
};

// The model of an event: the line's own, else the current one ("gpt-5" when none), with
// "codex-auto-review" replaced by the model released last on or before the date text.
// Updates the current model. The result stays valid until the state changes.
std::string_view resolve_auto_review_model(std::optional<std::string_view> line_model, std::string_view date_text,
                                           FileState& state);

// A numeric timestamp (seconds up to 10^10, else milliseconds) as UTC text with milliseconds.
std::string normalise_numeric_timestamp(std::uint64_t value);

bool is_spawned_thread_rollout(const std::filesystem::path& file);

// Reads rollouts one after another with one line buffer and one JSON parser.
class RolloutReader {
 public:
  RolloutReader();
  // The file's events in line order. A file that cannot be opened gives none; a read error
  // keeps those found so far; unreadable() then tells why. Fails only when the sink fails.
  std::expected<void, std::string> read(const std::filesystem::path& file, EventSink& sink);
  // Why the last file read could not be read to its end (the system's text), or none.
  const std::optional<std::string>& unreadable() const { return unreadable_; }
  // The first 19 characters shared by the timestamps of a spawned thread's first two token
  // counts, which replay the parent's history.
  std::optional<std::string> replayed_history_prefix(const std::filesystem::path& file);

 private:
  struct Session;
  void session_line(std::string_view line, EventSink& sink);
  void usage_line(std::string_view line, EventSink& sink);
  std::string_view fallback_time();

  jsonl::LineReader lines_;
  json::StrictParser json_;
  FileState state_;
  std::filesystem::path file_;
  std::string timestamp_;  // the normalised form of a numeric or parsed timestamp
  std::string date_text_;
  std::optional<std::string> failure_;
  std::optional<std::string> unreadable_;
};

std::optional<std::string> replayed_history_prefix(const std::filesystem::path& file);
std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file);
std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file, RolloutReader& reader);
std::expected<void, std::string> parse_rollout_file_aggregated(const std::filesystem::path& file,
                                                               RolloutReader& reader, EventSink& sink);

}  // namespace qm::codex::parser
