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

#include "json/parser.h"
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

// An event borrowed for the length of one sink call. In a file read in parts an event may
// take the model that was current where its part starts, which only the parts before it
// tell: its model is then empty, and inherited_model gives it once that one is known.
struct EventView {
  std::string_view timestamp;
  std::string_view model;
  const TokenCounts& counts;
  std::string_view stand_in = {};  // with an empty model: auto_review_stand_in of the event's date
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

// What "codex-auto-review" stands for on the date that the text starts with ("gpt-5" when it
// starts with none).
std::string_view auto_review_stand_in(std::string_view date_text);

// The model of an event of a line without a model of its own, with that current model (none:
// "gpt-5") and the event's stand-in.
std::string_view inherited_model(const std::optional<std::string>& current, std::string_view stand_in);

// What the parts of a file that several workers read share, found once before they are read.
struct RolloutFile {
  std::optional<std::string> replay_prefix;  // as replayed_history_prefix gives it
  std::string fallback_time;
};

// A state that the reading of a part knows but for the pieces that are still those of the
// state where the part starts.
struct PartState {
  FileState state;
  bool start_model = false;     // the current model
  bool start_total = false;     // the running total
  bool start_skipping = false;  // whether replayed history is still being skipped
  FileState given(const FileState& start) const;
};

// What reading one part of a file (RolloutReader::read_part) leaves for the pass that goes
// over the parts in order. The part's lines gave their events, but for the lines from the
// first whose outcome hangs on the state at the part's start (a running total that its
// start does not tell, a count of the replayed second while the skipping may go on) up to
// the one after which nothing does: those wait, to be read again from the state there.
struct PartEnd {
  std::optional<std::uint64_t> wait_from;  // the first waiting line; none: no line waits
  std::size_t offered_before = 0;          // the events that the part offered before it
  PartState at_wait;                       // the state where it starts
  std::uint64_t synced_at = 0;             // the line after the last waiting one
  std::optional<PartState> end;            // the state at the part's end; none: the lines wait to its end
};

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

  // Reading a file in parts (jsonl::cut_file) gives the events that read() gives: prepare()
  // once, read_part() for every part (on any reader, in any order), then finish_part() for
  // every part in order, each given the state that the one before returned (the first part:
  // any). Each fails only when the sink fails; unreadable() tells after each whether the
  // file could be read.
  RolloutFile prepare(const std::filesystem::path& file);
  std::expected<PartEnd, std::string> read_part(const std::filesystem::path& file, const RolloutFile& shared,
                                                const jsonl::FilePart& part, EventSink& sink);
  // Reads the lines that read_part left waiting, given the state at the part's start, and
  // gives the state at its end; their events come, in line order, after the first
  // end.offered_before events of the part. The events of the part that came without a model
  // take inherited_model(start.current_model, ...).
  std::expected<FileState, std::string> finish_part(const std::filesystem::path& file, const RolloutFile& shared,
                                                    const jsonl::FilePart& part, const PartEnd& end, FileState start,
                                                    EventSink& sink);

 private:
  struct Session;
  // What the reading of a part that starts in an unknown state knows of it: whether the
  // running total and the skipping of replayed history are still those of the start, and
  // whether the current model is (inherited), or may be either that or another (unknown);
  // and whether its lines wait.
  enum class ModelKnown : std::uint8_t { Yes, Inherited, Unknown };
  struct Doubt {
    bool total = false;
    bool skipping = false;
    ModelKnown model = ModelKnown::Yes;
    bool waiting = false;
    // Whether a line after a waiting one may still give a wrong event.
    bool holds() const { return total || skipping || model == ModelKnown::Unknown; }
  };
  // A line whose outcome hangs on the state at the part's start: the lines wait from it on.
  void wait_here();
  PartState known_state() const;
  void session_line(std::string_view line, EventSink& sink);
  void usage_line(std::string_view line, EventSink& sink);
  // The lines of the file or part; where the waiting lines start and end goes to `end`.
  bool read_lines(const std::filesystem::path& file, const jsonl::FilePart& part, EventSink& sink,
                  PartEnd* end);
  // The event's model as resolve_auto_review_model gives it; empty while the current model is
  // the inherited one and the line names none.
  std::string_view event_model(std::optional<std::string_view> line_model, std::string_view date_text,
                               std::string_view& stand_in);
  void offer(std::string_view timestamp, std::string_view model, TokenCounts& counts, std::string_view stand_in,
             EventSink& sink);
  std::string_view fallback_time();

  jsonl::LineReader lines_;
  json::StrictParser json_;
  FileState state_;
  std::filesystem::path file_;
  std::string timestamp_;  // the normalised form of a numeric or parsed timestamp
  std::string date_text_;
  std::optional<std::string> failure_;
  std::optional<std::string> unreadable_;
  Doubt doubt_;
  bool withhold_ = false;      // the line under way gives no event
  std::uint64_t line_at_ = 0;  // where it starts
  std::size_t offered_ = 0;    // events offered in the reading under way
  PartEnd* part_end_ = nullptr;
};

std::optional<std::string> replayed_history_prefix(const std::filesystem::path& file);
std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file);
std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file, RolloutReader& reader);
std::expected<void, std::string> parse_rollout_file_aggregated(const std::filesystem::path& file,
                                                               RolloutReader& reader, EventSink& sink);

}  // namespace qm::codex::parser
