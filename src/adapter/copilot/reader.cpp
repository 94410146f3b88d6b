#include "adapter/copilot/reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <span>

#include "date_utils.h"
#include "reader/files.h"
#include "reader/line_filter.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/seen.h"
#include "reader/usage_list.h"
#include "reader/values.h"
#include "util.h"

namespace qm::copilot {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

// The marker "attributes" with its quotes; looked for without the opening one, a rarer pair of
// bytes than two quotes.
constexpr std::string_view kAttributes = "attributes\"";

// The members a record's line is read for, each found in one pass over its object; a repeated
// key keeps its first value, as a lookup by key does.
enum Top : std::size_t {
  kAttributesMember, kTraceId, kSpanContext, kType, kName, kSpanId, kStartTime, kEndTime, kDuration, kKind,
  kHrTime, kHrTimeUnderscored, kTime, kTimestamp, kObservedTimestamp, kTimeUnixNano, kBody, kBodyUnderscored,
  kTopCount
};
constexpr std::array<std::string_view, kTopCount> kTopKeys = {
    "attributes", "traceId", "spanContext", "type", "name", "spanId", "startTime", "endTime", "duration", "kind",
    "hrTime", "_hrTime", "time", "timestamp", "observedTimestamp", "timeUnixNano", "body", "_body"};

enum Attribute : std::size_t {
  kResponseModel, kRequestModel, kOperation, kEvent, kInput, kOutput, kCacheRead, kCacheWrite, kCacheCreation,
  kReasoning, kReasoningTokens, kTotal, kTotalCount, kResponseId, kAttributeCount
};
constexpr std::array<std::string_view, kAttributeCount> kAttributeKeys = {
    "gen_ai.response.model", "gen_ai.request.model", "gen_ai.operation.name", "event.name",
    "gen_ai.usage.input_tokens", "gen_ai.usage.output_tokens", "gen_ai.usage.cache_read.input_tokens",
    "gen_ai.usage.cache_write.input_tokens", "gen_ai.usage.cache_creation.input_tokens",
    "gen_ai.usage.reasoning.output_tokens", "gen_ai.usage.reasoning_tokens", "gen_ai.usage.total_tokens",
    "gen_ai.usage.total.token_count", "gen_ai.response.id"};

using TopMembers = std::array<MaybeElement, kTopCount>;
using AttributeMembers = std::array<MaybeElement, kAttributeCount>;

// The first of several members that `read` accepts, in the order given.
template <typename Read>
auto first_read(std::span<const MaybeElement> found, std::initializer_list<std::size_t> keys, Read read)
    -> decltype(read(MaybeElement{})) {
  for (auto key : keys)
    if (auto v = read(found[key])) return v;
  return {};
}

// The record's own member, else the same member of its "spanContext".
std::optional<std::string_view> context_id(const TopMembers& record, Top key) {
  if (auto id = reader::text(record[key])) return id;
  return reader::text(at(record[kSpanContext], kTopKeys[key]));
}

bool is_span(const TopMembers& record) {
  if (auto type = reader::string(record[kType])) return *type == "span";
  if (!reader::text(record[kName])) return false;
  return reader::text(record[kSpanId]) || reader::text(record[kTraceId]) || record[kStartTime] ||
         record[kEndTime] || record[kDuration] || record[kKind];
}

bool begins(std::optional<std::string_view> text, std::string_view prefix) { return text && text->starts_with(prefix); }

std::optional<RecordKind> kind_of(const TopMembers& record, const AttributeMembers& attributes) {
  const bool span = is_span(record);
  const auto operation = reader::text(attributes[kOperation]);
  const auto name = reader::text(record[kName]);
  if (span && (operation == "chat" || begins(name, "chat "))) return RecordKind::ChatSpan;
  const auto event = reader::text(attributes[kEvent]);
  const auto body = first_read(record, {kBody, kBodyUnderscored}, reader::text);
  if (!span && (event == "gen_ai.client.inference.operation.details" || begins(body, "GenAI inference:")))
    return RecordKind::InferenceEvent;
  if (!span && (event == "copilot_chat.agent.turn" || begins(body, "copilot_chat.agent.turn")))
    return RecordKind::AgentTurn;
  if (span && (operation == "invoke_agent" || begins(name, "invoke_agent "))) return RecordKind::AgentInvocation;
  return std::nullopt;
}

std::optional<std::int64_t> record_time(const TopMembers& record) {
  for (auto key : {kEndTime, kStartTime, kHrTime, kHrTimeUnderscored, kTime})
    if (auto ms = hrtime_ms(record[key])) return ms;
  if (auto v = first_read(record, {kTimestamp, kObservedTimestamp}, reader::count_or_decimal))
    return timestamp_ms(*v);
  if (auto ns = reader::count_or_decimal(record[kTimeUnixNano]); ns && *ns != 0)
    return static_cast<std::int64_t>(*ns / 1'000'000);
  return std::nullopt;
}

std::uint64_t count_of(const AttributeMembers& attributes, std::initializer_list<std::size_t> keys) {
  return first_read(attributes, keys, reader::count_or_decimal).value_or(0);
}

// The counts of a record's attributes; none when they count nothing.
std::optional<reader::Counts> counts_of(const AttributeMembers& attributes) {
  const std::uint64_t input = count_of(attributes, {kInput});
  TokenUsageRaw block;
  block.output = count_of(attributes, {kOutput});
  block.cache_read = count_of(attributes, {kCacheRead});
  block.cache_creation = count_of(attributes, {kCacheWrite, kCacheCreation});
  block.input = input - std::min(block.cache_read, input);  // the reported input holds the cached tokens
  const std::uint64_t reasoning = count_of(attributes, {kReasoning, kReasoningTokens});
  const std::uint64_t total = count_of(attributes, {kTotal, kTotalCount});
  const auto reconciled = all::types::reconcile_token_total(block, reasoning, total);
  if (reconciled.counts_nothing()) return std::nullopt;
  return reader::Counts::of(reconciled);
}

// Numbers the ids of `from` in `into`, in order.
std::vector<std::uint32_t> renumber(const reader::SeenKeys& from, std::size_t count, reader::SeenKeys& into) {
  std::vector<std::uint32_t> numbers(count);
  for (std::size_t i = 0; i < count; ++i) numbers[i] = static_cast<std::uint32_t>(into.meet(from.key(i)).number);
  return numbers;
}

}  // namespace

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

bool may_matter(std::string_view line) { return reader::may_name(line, {"gen_ai.usage.", "gen_ai.re"}); }

std::uint32_t ExportFold::trace_number(std::string_view id) {
  const auto met = items_->traces.meet(id);
  if (met.first) items_->trace_model.push_back(reader::Names::kNone);
  return static_cast<std::uint32_t>(met.number);
}

void ExportFold::line(std::string_view line, json::StrictParser& parser) {
  if (!reader::mentions_quoted(line, kAttributes) || !may_matter(line)) return;
  auto parsed = parser.parse(line);
  if (!parsed || !parsed->is_object()) return;
  const auto record = reader::members(parsed, kTopKeys);
  if (!reader::is_object(record[kAttributesMember])) return;
  const auto attributes = reader::members(record[kAttributesMember], kAttributeKeys);
  const auto trace = context_id(record, kTraceId);
  const auto model = first_read(attributes, {kResponseModel, kRequestModel}, reader::text);
  // A trace's model is the first that one of its records names (calls without one take it).
  if (trace && model) {
    std::uint32_t& first = items_->trace_model[trace_number(*trace)];
    if (first == reader::Names::kNone) first = items_->models.id(*model);
  }
  const auto kind = kind_of(record, attributes);
  if (!kind) return;
  const auto counts = counts_of(attributes);
  if (!counts || (!model && !trace)) return;
  Call call;
  call.time_ms = record_time(record).value_or(file_time_);
  call.counts = *counts;
  call.model = model ? items_->models.id(*model) : kTraceModel;
  if (trace) call.trace = trace_number(*trace);
  if (auto response = reader::text(attributes[kResponseId]))
    call.response = static_cast<std::uint32_t>(items_->responses.meet(*response).number);
  call.kind = *kind;
  items_->calls.push_back(call);
}

void append_part(ExportItems& whole, ExportItems&& part) {
  std::vector<std::uint32_t> models(part.models.size());
  for (std::uint32_t i = 0; i < models.size(); ++i) models[i] = whole.models.id(part.models[i]);
  const auto traces = renumber(part.traces, part.trace_model.size(), whole.traces);
  for (std::size_t t = 0; t < traces.size(); ++t) {
    if (traces[t] >= whole.trace_model.size()) whole.trace_model.resize(traces[t] + 1, reader::Names::kNone);
    if (whole.trace_model[traces[t]] == reader::Names::kNone && part.trace_model[t] != reader::Names::kNone)
      whole.trace_model[traces[t]] = models[part.trace_model[t]];
  }
  std::size_t responses = 0;
  for (const Call& c : part.calls)
    if (c.response != kNoId) responses = std::max<std::size_t>(responses, c.response + 1);
  const auto response_numbers = renumber(part.responses, responses, whole.responses);
  part.traces = reader::SeenKeys();
  part.responses = reader::SeenKeys();
  // Each call is let go as it is appended: the part's memory goes to the whole's.
  for (; !part.calls.empty(); part.calls.pop_front()) {
    Call c = part.calls.front();
    if (c.model != kTraceModel) c.model = models[c.model];
    if (c.trace != kNoId) c.trace = traces[c.trace];
    if (c.response != kNoId) c.response = response_numbers[c.response];
    whole.calls.push_back(c);
  }
  part = ExportItems();
}

void settle(ExportItems& items) {
  auto& kept = items.calls;
  for (Call& c : kept)
    if (c.model == kTraceModel) c.model = items.trace_model[c.trace];
  std::erase_if(kept, [](const Call& c) { return c.model == reader::Names::kNone; });
  // A call is dropped when a more specific kind of call of the file shares its trace id or
  // its response id: that one describes the same model call. Per id, the kinds that have it.
  std::vector<std::uint8_t> trace_kinds(items.trace_model.size()), response_kinds;
  for (const Call& c : kept) {
    const auto bit = static_cast<std::uint8_t>(1u << static_cast<unsigned>(c.kind));
    if (c.trace != kNoId) trace_kinds[c.trace] |= bit;
    if (c.response != kNoId) {
      if (response_kinds.size() <= c.response) response_kinds.resize(c.response + 1);
      response_kinds[c.response] |= bit;
    }
  }
  std::erase_if(kept, [&](const Call& c) {
    const auto more_specific = static_cast<std::uint8_t>((1u << static_cast<unsigned>(c.kind)) - 1);
    return (c.trace != kNoId && (trace_kinds[c.trace] & more_specific)) ||
           (c.response != kNoId && (response_kinds[c.response] & more_specific));
  });
}

std::expected<ExportItems, std::string> ExportReader::read(const fs::path& path, const jsonl::FilePart& part,
                                                          std::int64_t file_time) {
  ExportItems items;
  ExportFold fold(items, file_time);
  // A line that is not UTF-8 does not parse: it is passed over like any other.
  bool ok = lines_.for_each_line_containing(path, part, kAttributes, [&](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    fold.line(line, parser_);
  });
  if (!ok) return std::unexpected(lines_.error());
  return items;
}

AgentLoadResult load_copilot_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                   const parallel::PartSizes& sizes) {
  reader::Run run(AgentKind::Copilot, options);
  std::vector<fs::path> files;
  if (auto dir = reader::below_home(".copilot/otel")) reader::walk(*dir, "jsonl", files, run.unread());
  if (auto exported = reader::env_path("COPILOT_OTEL_FILE_EXPORTER_PATH")) files.push_back(*exported);
  // The exporter's file may lie in the walked directory too, or be reached through a link.
  files = reader::canonical_files(files);
  reader::sort_paths(files);

  // Read in chunks, a large file in parts: the exporter's file grows for as long as it is
  // configured.
  const std::int64_t now = date_utils::now_ms();
  auto per_file =
      reader::read_files_with<ExportJoin, ExportReader>(files, options.common.single_thread, run.unread(), now, sizes);

  const bool priced = options.common.mode != CostMode::Display;
  reader::Prices prices(&table);
  reader::UsageList usages(options.zone);
  for (auto& file : per_file) {
    settle(file);
    reader::ListModels models(file.models, usages);
    // Each call is let go once it is a usage.
    for (; !file.calls.empty(); file.calls.pop_front()) {
      const Call& c = file.calls.front();
      reader::Usage& u = reader::add_counts(usages, c.time_ms, models(c.model), c.counts);
      if (!priced) continue;
      const TokenUsageRaw block = c.counts.priced();
      // Only the model's own name is priced.
      const std::span<const std::string> names(&file.models[c.model], 1);
      u.cost = pricing::cost_for(options.common.mode, std::nullopt, prices.find(names[0]), block);
      u.unpriced = prices.unpriced(names[0], names, reader::token_sum(block)).has_value();
    }
    file = ExportItems();
  }
  return run.finish(usages);
}

}  // namespace qm::copilot
