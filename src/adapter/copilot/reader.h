#pragma once
// The GitHub Copilot CLI reader: the agent's OpenTelemetry export files (spans and log
// records, one JSON object per line). Every model call may be described by several records;
// per file, the most specific kind that describes it is kept. Copilot records no money, so
// every cost is computed.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapter/all/loader.h"
#include "adapter/all/types.h"
#include "json/strict.h"
#include "pricing/table.h"

namespace qm::copilot {

// In order of precedence: a chat span describes a call best, an agent invocation least.
enum class RecordKind : std::uint8_t { ChatSpan = 0, InferenceEvent = 1, AgentTurn = 2, AgentInvocation = 3 };

struct Session {
  std::string id;
  int priority = 0;
};

// What one exported record says, before the file's other records of its trace are known.
struct OtelRecord {
  bool has_attributes = false;  // without them the record only takes its place in the count
  std::optional<RecordKind> kind;
  std::optional<std::string> trace_id;
  std::optional<std::string> span_id;
  std::optional<std::string> response_id;
  std::optional<std::string> model;
  std::optional<Session> session;
  std::optional<std::string> turn;        // the agent turn's index, in decimal
  std::optional<std::int64_t> time_ms;    // none: the file's time
  std::uint64_t input = 0;                // as reported: the cached tokens included
  std::uint64_t output = 0;
  std::uint64_t cache_write = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;
  std::uint64_t total = 0;
};

// Model and session of a trace, from the first records of the file that give them.
struct TraceSummary {
  std::optional<std::string_view> model;
  const Session* session = nullptr;
};
using TraceSummaries = std::unordered_map<std::string_view, TraceSummary>;

struct CopilotTelemetryRecord {
  std::string model;
  std::string session_id;
  std::string record_id;
  std::optional<std::string> trace_id;
  std::optional<std::string> response_id;
  std::int64_t time = 0;
  std::uint64_t input = 0;  // not cached
  std::uint64_t output = 0;
  std::uint64_t cache_write = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;
  RecordKind kind = RecordKind::ChatSpan;

  bool operator==(const CopilotTelemetryRecord&) const = default;
};

AgentLoadResult load_copilot_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// A line that names "attributes" and parses as an object (`line` followed by the parser's
// padding); none for any other line.
std::optional<OtelRecord> parse_otel_line(std::string_view line, json::StrictParser& parser);

std::optional<CopilotTelemetryRecord> record_from_otel(const OtelRecord& record, std::size_t index,
                                                       std::int64_t file_time, const TraceSummaries& summaries);

// The session keys present as text: the highest priority, and of equal ones the later key.
std::optional<Session> session_id(std::optional<json::element> attributes);
std::optional<std::string_view> model_name(std::optional<json::element> attributes);
// A count read by its magnitude: nanoseconds, microseconds, milliseconds or seconds.
std::int64_t timestamp_ms(std::uint64_t value);
// A [seconds, nanoseconds] pair; none when it is not one or does not fit.
std::optional<std::int64_t> hrtime_ms(std::optional<json::element> value);

// The kept records of one export file's text (followed by the parser's padding).
std::vector<CopilotTelemetryRecord> parse_file(std::string_view text, std::int64_t file_time, json::StrictParser& parser);

}  // namespace qm::copilot
