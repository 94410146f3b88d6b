#include "adapter/kimi/reader.h"

#include <map>

#include "date_utils.h"
#include "fast.h"
#include "reader/epoch.h"
#include "reader/files.h"
#include "reader/line_filter.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/seen.h"
#include "reader/token_block.h"
#include "reader/usage_list.h"
#include "reader/values.h"
#include "util.h"

namespace qm::kimi {
namespace {

namespace fs = std::filesystem;
using reader::at;

// The quoted names a status update holds, each without its opening quote: a rarer pair of
// bytes to look for than two quotes.
constexpr std::string_view kStatusUpdate = "StatusUpdate\"";
constexpr std::string_view kTokenUsage = "token_usage\"";

// sessions/<a>/<b>/wire.jsonl, exactly.
bool is_wire_file(const fs::path& sessions, const fs::path& path) {
  if (path.filename() != "wire.jsonl") return false;
  const fs::path relative = path.lexically_relative(sessions);
  return std::distance(relative.begin(), relative.end()) == 3;
}

// What a status update line says; its texts are the parser's, valid until the next parse.
struct WireLine {
  reader::Counts counts;
  std::optional<std::int64_t> time_ms;  // none: the file's time
  std::optional<std::string_view> message_id;
};

std::optional<WireLine> wire_line(std::string_view line, json::StrictParser& parser) {
  if (!reader::mentions_quoted(line, kStatusUpdate) || !reader::mentions_quoted(line, kTokenUsage)) return std::nullopt;
  auto event = parser.parse(line);
  if (!event || reader::string(at(*event, "type")) == "metadata") return std::nullopt;
  const auto message = at(*event, "message");
  if (reader::string(at(message, "type")) != "StatusUpdate") return std::nullopt;
  const auto payload = at(message, "payload");
  const auto usage = at(payload, "token_usage");
  if (!usage) return std::nullopt;

  const auto r =
      reader::count_block(usage, {"input_other", "output", "input_cache_creation", "input_cache_read", "total"});
  if (r.counts_nothing()) return std::nullopt;
  WireLine w;
  w.counts = reader::Counts::of(r);
  if (auto seconds = reader::number(at(*event, "timestamp"))) w.time_ms = reader::seconds_to_ms(*seconds);
  w.message_id = reader::text(at(payload, "message_id"));
  return w;
}

// <root>/sessions/<a>/<b>/wire.jsonl
fs::path root_of(const fs::path& wire) { return wire.parent_path().parent_path().parent_path().parent_path(); }

std::string session_of(const fs::path& wire) {
  std::string session = wire.parent_path().filename().string();
  return session.empty() ? "unknown" : session;
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
  auto w = wire_line(line, parser);
  if (!w) return std::nullopt;
  KimiWireUsage item;
  item.timestamp = w->time_ms.value_or(file_time);
  item.timestamp_text = date_utils::format_timestamp_ms(item.timestamp);
  item.session_id = std::string(session_id);
  item.model = std::string(model);
  if (w->message_id) item.message_id = std::string(*w->message_id);
  item.counts = w->counts;
  return item;
}

std::vector<std::string> price_candidates(std::string_view model, std::int64_t time_ms) {
  std::vector<std::string> names;
  const std::string m(model);
  if (m == kDefaultModel) names.emplace_back(time_ms >= kK26SinceMs ? "moonshot/kimi-k2.6" : "moonshot/kimi-k2.5");
  reader::add_candidate(names, "moonshot/" + m);
  reader::add_candidate(names, "kimi/" + m);
  reader::add_candidate(names, m);
  return names;
}

void append_part(WireFile& whole, WireFile&& part) {
  reader::append_unmet(whole, part, [](const Update& u) { return u; });
  part = WireFile();
}

std::expected<WireFile, std::string> WireReader::read(const fs::path& path, const jsonl::FilePart& part,
                                                      std::int64_t file_time) {
  WireFile file;
  if (part.index == 0) {  // one model for all of a file's parts
    file.model = configured_model(root_of(path), parser_);
    file.session = session_of(path);
  }
  // Only the lines that name a status update are looked at (the rest are most of a log).
  bool ok = lines_.for_each_line_containing(path, part, kStatusUpdate, [&](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    auto w = wire_line(line, parser_);
    if (!w) return;
    const std::int64_t time = w->time_ms.value_or(file_time);
    // A status update logged twice counts once: equal ones of this file are dropped here,
    // the rest against those of other files of the session when the files are put together.
    key_.clear();
    key_.text(w->message_id.value_or("")).text(date_utils::format_timestamp_ms(time)).counts(w->counts);
    file.add(Update{{time, w->counts}}, key_.view());
  });
  if (!ok) return std::unexpected(lines_.error());
  return file;
}

AgentLoadResult load_kimi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                const parallel::PartSizes& sizes) {
  reader::Run run(AgentKind::Kimi, options);
  auto files = reader::find_files({"KIMI_DATA_DIR", ".kimi", reader::NoHome::Empty, "sessions", "jsonl", is_wire_file},
                                  run.unread());
  if (!files) return run.fail(files.error());

  auto wires =
      reader::read_files_with<WireJoin, WireReader>(*files, options.common.single_thread, run.unread(), 0, sizes);

  const bool priced = options.common.mode != CostMode::Display;
  reader::Prices prices(&table);
  reader::UsageList usages(options.zone);
  // The same update in two files of one session (and model) counts once: only the keys of such
  // files are looked up among those of others.
  std::vector<char> shared(wires.size());
  {
    std::map<std::pair<std::string_view, std::string_view>, std::size_t> files_of;
    for (const auto& wire : wires) ++files_of[{wire.session, wire.model}];
    for (std::size_t i = 0; i < wires.size(); ++i) shared[i] = files_of[{wires[i].session, wires[i].model}] > 1;
  }
  reader::SeenKeys seen;
  reader::KeyBytes key;
  for (std::size_t i = 0; i < wires.size(); ++i) {
    WireFile& wire = wires[i];
    const std::uint32_t model = usages.model(wire.model);
    // The names the file's model is priced under, before and after the default model's change.
    std::optional<std::vector<std::string>> names[2];
    // Each update is let go once it is a usage.
    for (; !wire.items.empty(); wire.items.pop_front()) {
      const Update& u = wire.items.front();
      if (shared[i]) {
        key.clear();
        key.text(wire.session).text(wire.model).text(wire.keys.key(u.key));
        if (!seen.first(key.view())) continue;
      }
      reader::Usage& usage = reader::add_counts(usages, u.time_ms, model, u.counts);
      if (!priced) continue;
      auto& candidates = names[u.time_ms >= kK26SinceMs];
      if (!candidates) candidates = price_candidates(wire.model, u.time_ms);
      // The reasoning count is not priced as output here, but it counts for the marker.
      const TokenUsageRaw block = u.counts.block();
      usage.cost = pricing::cost_for(options.common.mode, std::nullopt, pricing::CostRule::FirstPriced, reader::NamePrices(prices, *candidates), block);
      usage.unpriced = prices.unpriced(wire.model, *candidates, util::saturating_add(reader::token_sum(block), u.counts.reasoning))
                           .has_value();
    }
    wire = WireFile();
  }
  return run.finish(usages);
}

}  // namespace qm::kimi
