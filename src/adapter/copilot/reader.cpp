#include "adapter/copilot/reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <unordered_set>

#include "date_utils.h"
#include "fast.h"
#include "reader/reader.h"
#include "util.h"

namespace qm::copilot {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

constexpr std::string_view kAttributesMarker = "\"attributes\"";

std::optional<std::string> owned(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

// The record's own member, else the same member of its "spanContext".
std::optional<std::string_view> context_id(json::element record, std::string_view key) {
  if (auto id = reader::text(at(record, key))) return id;
  return reader::text(at(record, {"spanContext", key}));
}

bool is_span(json::element record) {
  if (auto type = reader::string(at(record, "type"))) return *type == "span";
  if (!reader::text(at(record, "name"))) return false;
  return reader::text(at(record, "spanId")) || reader::text(at(record, "traceId")) ||
         std::ranges::any_of(std::initializer_list<std::string_view>{"startTime", "endTime", "duration", "kind"},
                             [&](std::string_view key) { return at(record, key).has_value(); });
}

bool begins(std::optional<std::string_view> text, std::string_view prefix) { return text && text->starts_with(prefix); }

std::optional<RecordKind> kind_of(json::element record, MaybeElement attributes) {
  const bool span = is_span(record);
  const auto operation = reader::text(at(attributes, "gen_ai.operation.name"));
  const auto name = reader::text(at(record, "name"));
  if (span && (operation == "chat" || begins(name, "chat "))) return RecordKind::ChatSpan;
  const auto event = reader::text(at(attributes, "event.name"));
  const auto body = reader::first_of(record, {"body", "_body"}, reader::text);
  if (!span && (event == "gen_ai.client.inference.operation.details" || begins(body, "GenAI inference:")))
    return RecordKind::InferenceEvent;
  if (!span && (event == "copilot_chat.agent.turn" || begins(body, "copilot_chat.agent.turn")))
    return RecordKind::AgentTurn;
  if (span && (operation == "invoke_agent" || begins(name, "invoke_agent "))) return RecordKind::AgentInvocation;
  return std::nullopt;
}

std::optional<std::int64_t> record_time(json::element record) {
  for (auto key : {"endTime", "startTime", "hrTime", "_hrTime", "time"})
    if (auto ms = hrtime_ms(at(record, key))) return ms;
  if (auto v = reader::first_of(record, {"timestamp", "observedTimestamp"}, reader::count_or_decimal))
    return timestamp_ms(*v);
  if (auto ns = reader::count_or_decimal(at(record, "timeUnixNano")); ns && *ns != 0)
    return static_cast<std::int64_t>(*ns / 1'000'000);
  return std::nullopt;
}

std::uint64_t count_of(MaybeElement attributes, std::initializer_list<std::string_view> keys) {
  return reader::first_of(attributes, keys, reader::count_or_decimal).value_or(0);
}

std::string record_id(RecordKind kind, const OtelRecord& r, std::string_view session, std::int64_t time,
                      std::size_t index) {
  const bool both = r.trace_id && r.span_id;
  switch (kind) {
    case RecordKind::ChatSpan:
    case RecordKind::AgentInvocation:
      if (both) return fmt::format("{}:{}", *r.trace_id, *r.span_id);
      return fmt::format("span:{}:{}:{}", session, time, index);
    case RecordKind::InferenceEvent:
      if (both) return fmt::format("log:{}:{}", *r.trace_id, *r.span_id);
      return fmt::format("log:{}:{}:{}", session, time, index);
    case RecordKind::AgentTurn: {
      const std::string turn = r.turn ? *r.turn : fmt::format("idx-{}", index);
      if (r.trace_id) return fmt::format("agent-turn:{}:{}", *r.trace_id, turn);
      return fmt::format("agent-turn:{}:{}:{}", session, turn, index);
    }
  }
  return {};
}

// A record is dropped when a more specific kind of record of the file shares its trace id
// or its response id: that one describes the same model call.
void keep_most_specific(std::vector<CopilotTelemetryRecord>& records) {
  constexpr std::size_t kKinds = 4;
  std::unordered_set<std::string_view> traces[kKinds], responses[kKinds];
  for (const auto& r : records) {
    const auto k = static_cast<std::size_t>(r.kind);
    if (r.trace_id) traces[k].insert(*r.trace_id);
    if (r.response_id) responses[k].insert(*r.response_id);
  }
  std::vector<bool> dropped(records.size(), false);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    for (std::size_t k = 0; k < static_cast<std::size_t>(r.kind); ++k)
      if ((r.trace_id && traces[k].contains(*r.trace_id)) || (r.response_id && responses[k].contains(*r.response_id)))
        dropped[i] = true;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (!dropped[i]) {
      if (kept != i) records[kept] = std::move(records[i]);
      ++kept;
    }
  records.resize(kept);
}

}  // namespace

std::optional<Session> session_id(std::optional<json::element> attributes) {
  static constexpr std::pair<std::string_view, int> kKeys[] = {
      {"gen_ai.conversation.id", 3}, {"copilot_chat.session_id", 3},       {"copilot_chat.chat_session_id", 3},
      {"session.id", 3},             {"github.copilot.interaction_id", 2}, {"gen_ai.response.id", 1},
  };
  std::optional<Session> best;
  for (const auto& [key, priority] : kKeys)
    if (auto id = reader::text(at(attributes, key)); id && (!best || priority >= best->priority))
      best = Session{std::string(*id), priority};
  return best;
}

std::optional<std::string_view> model_name(std::optional<json::element> attributes) {
  return reader::first_of(attributes, {"gen_ai.response.model", "gen_ai.request.model"}, reader::text);
}

std::int64_t timestamp_ms(std::uint64_t value) {
  if (value >= 100'000'000'000'000'000ULL) return static_cast<std::int64_t>(value / 1'000'000);
  if (value >= 100'000'000'000'000ULL) return static_cast<std::int64_t>(value / 1000);
  if (value >= 100'000'000'000ULL) return static_cast<std::int64_t>(value);
  return static_cast<std::int64_t>(value * 1000);
}

std::optional<std::int64_t> hrtime_ms(std::optional<json::element> value) {
  simdjson::dom::array pair;
  if (!value || value->get_array().get(pair) || pair.size() < 2) return std::nullopt;
  const auto seconds = reader::count_or_decimal(pair.at(0).value_unsafe());
  const auto nanos = reader::count_or_decimal(pair.at(1).value_unsafe());
  if (!seconds || !nanos || *seconds > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  std::int64_t ms;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(*seconds), std::int64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, static_cast<std::int64_t>(*nanos / 1'000'000), &ms))
    return std::nullopt;
  return ms;
}

std::optional<OtelRecord> parse_otel_line(std::string_view line, json::StrictParser& parser) {
  if (fast::find_text(line, kAttributesMarker) == std::string_view::npos) return std::nullopt;
  auto record = parser.parse(line);
  if (!record || !record->is_object()) return std::nullopt;
  OtelRecord r;
  const auto attributes = at(*record, "attributes");
  if (!reader::is_object(attributes)) return r;
  r.has_attributes = true;
  r.kind = kind_of(*record, attributes);
  r.trace_id = owned(context_id(*record, "traceId"));
  r.span_id = owned(context_id(*record, "spanId"));
  r.response_id = owned(reader::text(at(attributes, "gen_ai.response.id")));
  r.model = owned(model_name(attributes));
  r.session = session_id(attributes);
  if (auto turn = reader::first_of(attributes, {"turn.index", "copilot_chat.turn.index"}, reader::count_or_decimal))
    r.turn = std::to_string(*turn);
  r.time_ms = record_time(*record);
  r.input = count_of(attributes, {"gen_ai.usage.input_tokens"});
  r.output = count_of(attributes, {"gen_ai.usage.output_tokens"});
  r.cache_read = count_of(attributes, {"gen_ai.usage.cache_read.input_tokens"});
  r.cache_write = count_of(attributes, {"gen_ai.usage.cache_write.input_tokens", "gen_ai.usage.cache_creation.input_tokens"});
  r.reasoning = count_of(attributes, {"gen_ai.usage.reasoning.output_tokens", "gen_ai.usage.reasoning_tokens"});
  r.total = count_of(attributes, {"gen_ai.usage.total_tokens", "gen_ai.usage.total.token_count"});
  return r;
}

std::optional<CopilotTelemetryRecord> record_from_otel(const OtelRecord& r, std::size_t index, std::int64_t file_time,
                                                       const TraceSummaries& summaries) {
  if (!r.has_attributes || !r.kind) return std::nullopt;
  TokenUsageRaw block;
  block.input = r.input - std::min(r.cache_read, r.input);  // the reported input holds the cached tokens
  block.output = r.output;
  block.cache_creation = r.cache_write;
  block.cache_read = r.cache_read;
  const auto reconciled = all::types::reconcile_token_total(block, r.reasoning, r.total);
  const TokenUsageRaw& b = reconciled.block;
  if (reconciled.counts_nothing()) return std::nullopt;

  const TraceSummary* summary = nullptr;
  if (r.trace_id)
    if (auto it = summaries.find(*r.trace_id); it != summaries.end()) summary = &it->second;
  std::optional<std::string_view> model = r.model;
  if (!model && summary) model = summary->model;
  if (!model) return std::nullopt;

  CopilotTelemetryRecord out;
  out.model = std::string(*model);
  if (r.session)
    out.session_id = r.session->id;
  else if (summary && summary->session)
    out.session_id = summary->session->id;
  else
    out.session_id = r.trace_id.value_or("unknown-session");
  out.time = r.time_ms.value_or(file_time);
  out.record_id = record_id(*r.kind, r, out.session_id, out.time, index);
  out.trace_id = r.trace_id;
  out.response_id = r.response_id;
  out.input = b.input;
  out.output = b.output;
  out.cache_write = b.cache_creation;
  out.cache_read = b.cache_read;
  out.reasoning = reconciled.extra;
  out.kind = *r.kind;
  return out;
}

namespace {

// The kept records of the lines of one export file.
std::vector<CopilotTelemetryRecord> file_records(const std::vector<OtelRecord>& lines, std::int64_t file_time) {
  TraceSummaries summaries;
  for (const auto& r : lines) {
    if (!r.has_attributes || !r.trace_id) continue;
    TraceSummary& s = summaries[*r.trace_id];
    if (!s.model && r.model) s.model = *r.model;
    if (r.session && (!s.session || r.session->priority > s.session->priority)) s.session = &*r.session;
  }
  std::vector<CopilotTelemetryRecord> records;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (auto r = record_from_otel(lines[i], i, file_time, summaries)) records.push_back(std::move(*r));
  keep_most_specific(records);
  return records;
}

}  // namespace

std::vector<CopilotTelemetryRecord> parse_file(std::string_view text, std::int64_t file_time, json::StrictParser& parser) {
  std::vector<OtelRecord> lines;
  reader::for_each_line(text, [&](std::string_view line) {
    if (auto r = parse_otel_line(line, parser)) lines.push_back(std::move(*r));
  });
  return file_records(lines, file_time);
}

AgentLoadResult load_copilot_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Copilot, options);
  std::vector<fs::path> files;
  if (auto dir = reader::below_home(".copilot/otel")) reader::walk(*dir, "jsonl", files, run.unread());
  if (auto exported = reader::env_path("COPILOT_OTEL_FILE_EXPORTER_PATH")) files.push_back(*exported);
  // The exporter's file may lie in the walked directory too, or be reached through a link.
  files = reader::canonical_files(files);
  reader::sort_paths(files);

  // Read in chunks: the exporter's file grows for as long as it is configured.
  using PerFile = std::expected<std::vector<CopilotTelemetryRecord>, std::string>;
  auto per_file = reader::read_files<std::vector<CopilotTelemetryRecord>>(files, options.common.single_thread,
                                                                          run.unread(), [] {
    return [lines = jsonl::LineReader(), parser = json::StrictParser(), records = std::vector<OtelRecord>()](
               const fs::path& path) mutable -> PerFile {
      records.clear();
      // A line that is not UTF-8 does not parse: it is passed over like any other.
      auto done = reader::for_each_line(lines, path, [&](std::string_view line) {
        if (auto r = parse_otel_line(line, parser)) records.push_back(std::move(*r));
      });
      if (!done) return std::unexpected(std::move(done.error()));
      return file_records(records, reader::file_time_ms(path).value_or(date_utils::now_ms()));
    };
  });
  auto items = reader::concatenate(per_file);

  reader::Prices prices(&table);
  std::vector<UsageRecord> records;
  records.reserve(items.size());
  for (auto& item : items) {
    UsageRecord r = reader::record_at(AgentKind::Copilot, "GitHub Copilot CLI", item.model, item.time, options.zone);
    r.tokens.input = item.input;
    r.tokens.output = item.output;
    r.tokens.cache_creation = item.cache_write;
    r.tokens.cache_read = item.cache_read;
    r.reasoning = item.reasoning;
    r.record_id = std::move(item.record_id);
    r.session_text = item.session_id;
    r.session_id = std::move(item.session_id);
    TokenUsageRaw priced = r.tokens;
    priced.output = util::saturating_add(priced.output, item.reasoning);
    // Only the model's own name is priced.
    prices.price_computed(r, options.common.mode, std::span<const std::string>(&item.model, 1), priced,
                          reader::token_sum(priced));
    records.push_back(std::move(r));
  }
  return run.finish(std::move(records));
}

}  // namespace qm::copilot
