#include "adapter/kimi/reader.h"

#include <tuple>

#include "date_utils.h"
#include "fast.h"
#include "reader/reader.h"
#include "util.h"

namespace qm::kimi {
namespace {

namespace fs = std::filesystem;
using reader::at;

// sessions/<a>/<b>/wire.jsonl, exactly.
bool is_wire_file(const fs::path& sessions, const fs::path& path) {
  if (path.filename() != "wire.jsonl") return false;
  const fs::path relative = path.lexically_relative(sessions);
  return std::distance(relative.begin(), relative.end()) == 3;
}

bool mentions(std::string_view line, std::string_view quoted) {
  return fast::find_text(line, quoted) != std::string_view::npos;
}

}  // namespace

std::string configured_model(const fs::path& root, json::StrictParser& parser) {
  auto text = reader::read_text(root / "config.json");
  if (!text) return std::string(kDefaultModel);
  auto config = parser.parse(text->view());
  if (!config) return std::string(kDefaultModel);
  return std::string(reader::text(at(*config, "model")).value_or(kDefaultModel));
}

std::optional<KimiWireUsage> parse_wire_line(std::string_view line, json::StrictParser& parser,
                                             std::string_view session_id, std::string_view model, std::int64_t file_time) {
  if (!mentions(line, "\"StatusUpdate\"") || !mentions(line, "\"token_usage\"")) return std::nullopt;
  auto event = parser.parse(line);
  if (!event || reader::string(at(*event, "type")) == "metadata") return std::nullopt;
  const auto message = at(*event, "message");
  if (reader::string(at(message, "type")) != "StatusUpdate") return std::nullopt;
  const auto payload = at(message, "payload");
  const auto usage = at(payload, "token_usage");
  if (!usage) return std::nullopt;

  TokenUsageRaw block;
  block.input = reader::count_or_zero(at(usage, "input_other"));
  block.output = reader::count_or_zero(at(usage, "output"));
  block.cache_creation = reader::count_or_zero(at(usage, "input_cache_creation"));
  block.cache_read = reader::count_or_zero(at(usage, "input_cache_read"));
  const auto r = all::types::reconcile_token_total(block, 0, reader::count_or_zero(at(usage, "total")));
  const TokenUsageRaw& b = r.block;
  if (r.counts_nothing()) return std::nullopt;

  KimiWireUsage item;
  std::optional<std::int64_t> time;
  if (auto seconds = reader::number(at(*event, "timestamp"))) time = reader::seconds_to_ms(*seconds);
  item.timestamp = time.value_or(file_time);
  item.timestamp_text = date_utils::format_timestamp_ms(item.timestamp);
  item.session_id = std::string(session_id);
  item.model = std::string(model);
  if (auto id = reader::text(at(payload, "message_id"))) item.message_id = std::string(*id);
  item.input = b.input;
  item.output = b.output;
  item.cache_creation = b.cache_creation;
  item.cache_read = b.cache_read;
  item.reasoning = r.extra;
  return item;
}

std::vector<std::string> price_candidates(const KimiWireUsage& item) {
  std::vector<std::string> names;
  if (item.model == kDefaultModel)
    names.emplace_back(item.timestamp >= kK26SinceMs ? "moonshot/kimi-k2.6" : "moonshot/kimi-k2.5");
  reader::add_candidate(names, "moonshot/" + item.model);
  reader::add_candidate(names, "kimi/" + item.model);
  reader::add_candidate(names, item.model);
  return names;
}

std::vector<KimiWireUsage> parse_file(const fs::path& path, std::string_view text, std::int64_t file_time,
                                      json::StrictParser& parser) {
  // <root>/sessions/<a>/<b>/wire.jsonl
  const std::string model = configured_model(path.parent_path().parent_path().parent_path().parent_path(), parser);
  std::string session = path.parent_path().filename().string();
  if (session.empty()) session = "unknown";
  std::vector<KimiWireUsage> items;
  reader::for_each_line(text, [&](std::string_view line) {
    if (auto item = parse_wire_line(line, parser, session, model, file_time)) items.push_back(std::move(*item));
  });
  return items;
}

AgentLoadResult load_kimi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Kimi, options);
  auto roots = reader::directory_roots("KIMI_DATA_DIR", ".kimi", reader::NoHome::Empty);
  if (!roots) return run.fail(roots.error());
  std::vector<fs::path> files;
  for (const auto& root : *roots) {
    const fs::path sessions = root / "sessions";
    reader::walk(sessions, "jsonl", [&](const fs::path& p) { return is_wire_file(sessions, p); }, files, run.unread());
  }
  reader::sort_paths(files);

  auto items = reader::parse_json_files<KimiWireUsage>(
      files, options.common.single_thread, run.unread(),
      [](const fs::path& path, std::string_view text, json::StrictParser& parser) {
        return parse_file(path, text, reader::file_time_ms(path).value_or(0), parser);
      });
  // A status update logged twice, in one file or in two of the same session, counts once.
  reader::drop_repeated(items, 0, [](const KimiWireUsage& i) {
    return std::tuple(std::string_view(i.session_id), i.message_id ? std::string_view(*i.message_id) : std::string_view(),
                      std::string_view(i.timestamp_text), std::string_view(i.model), i.input, i.output,
                      i.cache_creation, i.cache_read, i.reasoning);
  });

  reader::Prices prices(&table);
  std::vector<UsageRecord> records;
  records.reserve(items.size());
  for (auto& item : items) {
    UsageRecord r = reader::record_at(AgentKind::Kimi, "Kimi", item.model, item.timestamp, options.zone);
    r.tokens.input = item.input;
    r.tokens.output = item.output;
    r.tokens.cache_creation = item.cache_creation;
    r.tokens.cache_read = item.cache_read;
    r.reasoning = item.reasoning;
    // The reasoning count is not priced as output here, but it counts for the marker.
    prices.price_computed(r, options.common.mode, price_candidates(item), r.tokens,
                          util::saturating_add(reader::token_sum(r.tokens), item.reasoning));
    r.record_id = std::move(item.message_id);
    r.session_text = item.session_id;
    r.session_id = std::move(item.session_id);
    records.push_back(std::move(r));
  }
  return run.finish(std::move(records));
}

}  // namespace qm::kimi
