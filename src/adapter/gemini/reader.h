#pragma once
// The Gemini CLI reader: session documents and JSON Lines logs below its data directories,
// one usage item per model reply or per model of a session's statistics, priced from the table.
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/parser.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "pricing/table.h"
#include "reader/file_parts.h"
#include "reader/file_usage.h"
#include "reader/line_worker.h"
#include "reader/row_workers.h"
#include "reader/seen.h"

namespace qm::gemini::parser {

struct GeminiTokenCounts {
  std::optional<std::uint64_t> total;
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cached = 0;
  std::uint64_t thoughts = 0;
  std::uint64_t tool = 0;
};

// Its input is the non-cached input and the tool tokens; it writes no cache.
struct GeminiMessageUsage : reader::ParsedUsage {
  std::uint64_t total = 0;

  bool operator==(const GeminiMessageUsage&) const = default;
};

// How the cached tokens relate to the reported input: a reply's input includes them only
// when its total says so; a statistics block's input always does.
enum class InputRule { Message, Statistics };

// A large log is cut into parts of `sizes`.
AgentLoadResult load_gemini_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                  const parallel::PartSizes& sizes = {});

std::optional<GeminiTokenCounts> read_token_counts(std::optional<json::element> value);
std::optional<GeminiMessageUsage> message_usage(json::element message, std::optional<std::string_view> fallback_model,
                                                std::string_view session_id, std::int64_t fallback_time);
std::vector<GeminiMessageUsage> session_stats_usage(std::optional<json::element> stats,
                                                    std::optional<std::string_view> fallback_model,
                                                    std::string_view session_id, std::int64_t time);
std::optional<GeminiMessageUsage> build_message_usage(std::string_view model, std::string_view session_id,
                                                      std::int64_t time, const GeminiTokenCounts& counts, InputRule rule,
                                                      std::optional<std::string_view> message_id);
std::vector<std::string> price_candidates(std::string_view model);

// The items of a session document's text (followed by the parser's padding).
std::vector<GeminiMessageUsage> parse_document(const std::filesystem::path& path, std::string_view text,
                                               std::int64_t file_time, json::StrictParser& parser);

// An item of a file as it is kept until it is priced. Its reasoning count is the record's:
// the total beyond the input, cache read and output.
struct Reply : reader::Item {
  std::uint32_t model = 0;                // of the file's models, or one of the two below
  std::optional<reader::TextRef> id;      // of a log's reply with an id
};
// The models of the items of a part of a log that began after the file's start, before the
// part names a model of its own: the model the lines before the part left current, and a
// reply without it counts nothing; for a statistics block, that model or "unknown".
inline constexpr std::uint32_t kInheritedModel = UINT32_MAX - 1;
inline constexpr std::uint32_t kInheritedOrUnknown = UINT32_MAX - 2;

// The items of a file, or of a part of a log.
struct FileItems {
  // Of a part that began after the file's start: the items before the first line that names
  // a model, in line order (their ids not yet matched).
  std::deque<Reply> inherited;
  // The rest, in their places: of replies with one id, the later line's values in the
  // earlier line's place.
  std::deque<Reply> replies;  // a deque: growing never copies what was read
  reader::Names models;
  reader::KeptTexts ids;
};

// The model the lines read so far left current: of the part's models, none before the first
// line that names one; not known in a part that began after the file's start until a line
// names one.
struct CurrentModel {
  bool known = true;
  std::uint32_t model = reader::Names::kNone;
};

// The places of a log's replies: a reply whose id was met before takes the place of the
// earlier one (the later line's values in the earlier line's place).
class ReplyPlaces {
 public:
  // Appends `reply` to `items.replies`, or puts it in its id's place there.
  void place(FileItems& items, Reply reply, std::optional<std::string_view> id);
  // Takes the places of replies already in `items` (each id once).
  void take(const FileItems& items);

 private:
  reader::SeenKeys ids_;
  std::vector<std::uint32_t> place_of_;  // by the id's number
};

// Whether a log's line may mean anything to the reader: it may name "model", "gemini" or
// "stats". The others are not parsed.
bool may_matter(std::string_view line);

// The lines of a JSON Lines log, or of one part of it, in order. A line's meaning depends on
// the lines before it through the current model (and the session, which is not reported),
// and a reply replaces an earlier one of its id.
class LogFold {
 public:
  // `at_file_start`: the part begins with the file, with no model yet.
  LogFold(FileItems& items, std::int64_t file_time, bool at_file_start);
  void line(std::string_view line, json::StrictParser& parser);
  const CurrentModel& current() const { return current_; }

 private:
  void message(json::element message);
  void statistics(json::element stats, std::int64_t time);
  void place(Reply reply, std::optional<std::string_view> id);

  FileItems* items_;
  std::int64_t file_time_;
  CurrentModel current_;
  ReplyPlaces places_;
};

// The items of a part of a file, and the model its lines left current.
struct PartItems {
  FileItems items;
  CurrentModel current;
};

// The parts of one log put together in order, as if read in one (reader/file_parts.h): each
// part after the first (read by a LogFold that did not begin at the file's start) takes the
// model the parts before it left current, and its replies replace those of the same id
// before it. A part's items are let go as they are added.
class LogJoin {
 public:
  explicit LogJoin(PartItems first) : whole_(std::move(first.items)), current_(first.current) {}
  void add(PartItems part);
  FileItems take() { return std::move(whole_); }

 private:
  FileItems whole_;
  CurrentModel current_;
  ReplyPlaces places_;
  bool placed_ = false;  // places_ holds the first part's replies
};

// One worker's reader of Gemini files: logs in chunks, documents whole.
class FileReader : public reader::LineWorker<FileReader> {
 public:
  using LineWorker::LineWorker;
  // A log when the extension is "jsonl", else a document. The error is the system's text
  // when the file cannot be read, or a document's that it is not UTF-8.
  std::expected<FileItems, std::string> read(const std::filesystem::path& path, std::int64_t file_time);
  // The same for one part of a file: a document is read whole by its first part, and the
  // others give nothing.
  std::expected<PartItems, std::string> read(const std::filesystem::path& path, const jsonl::FilePart& part,
                                            std::int64_t file_time);
  std::expected<FileItems, std::string> read_log(const std::filesystem::path& path, std::int64_t file_time);
  std::expected<PartItems, std::string> read_log(const std::filesystem::path& path, const jsonl::FilePart& part,
                                                std::int64_t file_time);
  std::expected<FileItems, std::string> read_document(const std::filesystem::path& path, std::int64_t file_time);

 private:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::gemini::parser
