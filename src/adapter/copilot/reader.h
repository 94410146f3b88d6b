#pragma once
// The GitHub Copilot CLI reader: the agent's OpenTelemetry export files (spans and log
// records, one JSON object per line). Every model call may be described by several records;
// per file, the most specific kind that describes it is kept. Copilot records no money, so
// every cost is computed.
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
#include "reader/seen.h"

namespace qm::copilot {

// In order of precedence: a chat span describes a call best, an agent invocation least.
enum class RecordKind : std::uint8_t { ChatSpan = 0, InferenceEvent = 1, AgentTurn = 2, AgentInvocation = 3 };

// A large file is cut into parts of `sizes`.
AgentLoadResult load_copilot_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                   const parallel::PartSizes& sizes = {});

std::optional<std::string_view> model_name(std::optional<json::element> attributes);
// A count read by its magnitude: nanoseconds, microseconds, milliseconds or seconds.
std::int64_t timestamp_ms(std::uint64_t value);
// A [seconds, nanoseconds] pair; none when it is not one or does not fit.
std::optional<std::int64_t> hrtime_ms(std::optional<json::element> value);

// The model of a call whose record names none: that of the first record of its trace in the
// file that names one, known when the whole file has been read.
inline constexpr std::uint32_t kTraceModel = UINT32_MAX - 1;
inline constexpr std::uint32_t kNoId = UINT32_MAX;

// A model call, as one record describes it. The record's session and ids are not reported,
// and not kept.
struct Call : reader::Item {
  std::uint32_t model = 0;       // of the file's models, or kTraceModel
  std::uint32_t trace = kNoId;   // the number of its trace id, of the file's traces
  std::uint32_t response = kNoId;
  RecordKind kind = RecordKind::ChatSpan;
};

// The calls of an export file, or of a part of one, as its records come; which of them stay
// and the models of some are known when the whole file has been read (settle() below).
struct ExportItems {
  std::deque<Call> calls;  // a deque: growing never copies what was read
  reader::Names models;
  reader::SeenKeys traces, responses;  // the ids, numbered in the order met
  std::vector<std::uint32_t> trace_model;  // by trace: the first model a record of the trace names
};

// Whether a line may mean anything to the reader: it may hold token counts or a model (its
// attributes' names begin "gen_ai.usage." and "gen_ai.re"). The others, tool spans mostly,
// are not parsed.
bool may_matter(std::string_view line);

// The lines of an export file, or of one part of it, in order. What a line says does not
// depend on the lines before it; what depends on the rest of the file (a trace's model, the
// calls that a more specific record describes) settle() settles once all is read.
class ExportFold {
 public:
  ExportFold(ExportItems& items, std::int64_t file_time) : items_(&items), file_time_(file_time) {}
  // A line that names "attributes" and parses as an object (`line` followed by the parser's
  // padding); any other line gives nothing.
  void line(std::string_view line, json::StrictParser& parser);

 private:
  std::uint32_t trace_number(std::string_view id);

  ExportItems* items_;
  std::int64_t file_time_;
};

// Appends the items of the next part of the same file, which is left empty.
void append_part(ExportItems& whole, ExportItems&& part);
// A file's parts put together (reader/file_parts.h).
using ExportJoin = reader::AppendJoin<ExportItems, append_part>;

// Leaves the calls that stay, in line order, each with its model: a call without one whose
// trace names none is dropped, and so is one whose trace or response id a call of a more
// specific kind shares.
void settle(ExportItems& items);

// One worker's reader of export files.
class ExportReader : public reader::LineWorker<ExportReader> {
 public:
  using LineWorker::LineWorker;
  using LineWorker::read;
  // The items of a file, or of one part of it. The error is the system's text when the file
  // cannot be opened or read.
  std::expected<ExportItems, std::string> read(const std::filesystem::path& path, const jsonl::FilePart& part,
                                               std::int64_t file_time);

 private:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::copilot
