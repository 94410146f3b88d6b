#include "adapter/gemini/parser.h"

#include <algorithm>
#include <unordered_map>

#include "date_utils.h"
#include "reader/reader.h"
#include "util.h"

namespace qm::gemini::parser {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

std::string session_or(MaybeElement object, std::string fallback) {
  if (auto id = reader::first_of(object, {"sessionId", "session_id"}, reader::text)) return std::string(*id);
  return fallback;
}

MaybeElement stats_of(MaybeElement object) {
  if (auto stats = at(object, "stats")) return stats;
  return at(object, {"result", "stats"});
}

std::int64_t time_or(MaybeElement value, std::int64_t fallback) { return reader::time_text_ms(value).value_or(fallback); }

std::vector<GeminiMessageUsage> parse_document(const fs::path& path, std::string_view text, std::int64_t file_time,
                                               json::StrictParser& parser) {
  auto doc = parser.parse(text);
  if (!doc || !doc->is_object()) return {};
  const std::string session = session_or(*doc, reader::file_stem(path).value_or("unknown"));
  std::vector<GeminiMessageUsage> items;
  simdjson::dom::array messages;
  if (!doc->at_key("messages").get_array().get(messages)) {
    const std::int64_t session_time = reader::first_of(*doc, {"startTime", "lastUpdated"}, reader::time_text_ms)
                                          .value_or(file_time);
    for (auto m : messages) {
      if (!m.is_object() || reader::string(at(m, "type")) != "gemini") continue;
      if (auto item = message_usage(m, std::nullopt, session, session_time)) items.push_back(std::move(*item));
    }
  } else if (reader::string(at(*doc, "type")) == "gemini") {
    if (auto item = message_usage(*doc, std::nullopt, session, file_time)) items.push_back(std::move(*item));
  } else if (auto stats = stats_of(*doc)) {
    items = session_stats_usage(stats, reader::text(at(*doc, "model")), session, time_or(at(*doc, "timestamp"), file_time));
  }
  return items;
}

std::vector<GeminiMessageUsage> parse_lines(const fs::path& path, std::string_view text, std::int64_t file_time,
                                            json::StrictParser& parser) {
  std::string session = reader::file_stem(path).value_or("unknown");
  std::optional<std::string> model;
  std::vector<GeminiMessageUsage> items;
  std::unordered_map<std::string, std::size_t> position_of_id;  // this file only
  reader::for_each_line(text, [&](std::string_view line) {
    auto obj = parser.parse(line);  // the bytes after the line are the file's or its padding
    if (!obj || !obj->is_object()) return;
    session = session_or(*obj, std::move(session));
    if (auto m = reader::text(at(*obj, "model"))) model = std::string(*m);
    if (reader::string(at(*obj, "type")) == "gemini") {
      auto item = message_usage(*obj, model, session, file_time);
      if (!item) return;
      if (!item->message_id) {
        items.push_back(std::move(*item));
        return;
      }
      auto [it, fresh] = position_of_id.try_emplace(*item->message_id, items.size());
      if (fresh)
        items.push_back(std::move(*item));
      else
        items[it->second] = std::move(*item);  // the later line wins, in the earlier place
    } else if (auto stats = stats_of(*obj)) {
      for (auto& item : session_stats_usage(stats, model, session, time_or(at(*obj, "timestamp"), file_time)))
        items.push_back(std::move(item));
    }
  });
  return items;
}

// (non-cached input, cache read)
std::pair<std::uint64_t, std::uint64_t> split_input(const GeminiTokenCounts& c, InputRule rule) {
  if (rule == InputRule::Statistics) return {c.input - std::min(c.cached, c.input), c.cached};
  return all::types::split_cached_input(c.input, c.cached, c.total,
                                        util::saturating_add(util::saturating_add(c.output, c.thoughts), c.tool));
}

}  // namespace

std::optional<GeminiTokenCounts> read_token_counts(std::optional<json::element> value) {
  if (!reader::is_object(value)) return std::nullopt;
  auto first = [&](std::initializer_list<std::string_view> keys) {
    return reader::first_of(value, keys, reader::finite_truncated_count).value_or(0);
  };
  GeminiTokenCounts c;
  c.input = first({"input", "prompt", "input_tokens", "prompt_tokens"});
  c.output = first({"output", "candidates", "output_tokens", "candidates_tokens"});
  c.cached = first({"cached", "cached_tokens"});
  c.thoughts = first({"thoughts", "reasoning", "thoughts_tokens", "reasoning_tokens"});
  c.tool = first({"tool", "tool_tokens"});
  // A present "total" decides, even when it is not a number.
  auto total = at(value, "total");
  c.total = reader::finite_truncated_count(total ? total : at(value, "total_tokens"));
  return c;
}

std::optional<GeminiMessageUsage> message_usage(json::element message, std::optional<std::string_view> fallback_model,
                                                std::string_view session_id, std::int64_t fallback_time) {
  auto counts = read_token_counts(at(message, "tokens"));
  if (!counts) return std::nullopt;
  auto model = reader::text(at(message, "model"));
  if (!model) model = fallback_model;
  if (!model) return std::nullopt;
  const std::int64_t time =
      reader::first_of(message, {"timestamp", "created_at"}, reader::time_text_ms).value_or(fallback_time);
  return build_message_usage(*model, session_id, time, *counts, InputRule::Message, reader::text(at(message, "id")));
}

std::vector<GeminiMessageUsage> session_stats_usage(std::optional<json::element> stats,
                                                    std::optional<std::string_view> fallback_model,
                                                    std::string_view session_id, std::int64_t time) {
  if (!reader::is_object(stats)) return {};
  std::vector<GeminiMessageUsage> items;
  simdjson::dom::object models;
  if (!stats->at_key("models").get_object().get(models)) {
    std::vector<std::pair<std::string_view, json::element>> entries;
    for (auto field : models) entries.emplace_back(field.key, field.value);
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, entry] : entries) {
      auto tokens = at(entry, "tokens");
      if (!reader::is_object(tokens)) continue;
      if (auto item = build_message_usage(name, session_id, time, *read_token_counts(tokens), InputRule::Statistics,
                                          std::nullopt))
        items.push_back(std::move(*item));
    }
    if (!items.empty()) return items;
  }
  if (auto item = build_message_usage(fallback_model.value_or("unknown"), session_id, time, *read_token_counts(stats),
                                      InputRule::Statistics, std::nullopt))
    items.push_back(std::move(*item));
  return items;
}

std::optional<GeminiMessageUsage> build_message_usage(std::string_view model, std::string_view session_id,
                                                      std::int64_t time, const GeminiTokenCounts& counts, InputRule rule,
                                                      std::optional<std::string_view> message_id) {
  if (util::trim(model).empty()) return std::nullopt;
  const auto [input, cache_read] = split_input(counts, rule);
  TokenUsageRaw block;
  block.input = util::saturating_add(input, counts.tool);
  block.output = counts.output;
  block.cache_read = cache_read;
  const std::uint64_t total = counts.total.value_or(util::saturating_add(
      util::saturating_add(util::saturating_add(input, cache_read), util::saturating_add(counts.output, counts.thoughts)),
      counts.tool));
  const auto r = all::types::reconcile_token_total(block, counts.thoughts, total);
  if (r.counts_nothing()) return std::nullopt;
  GeminiMessageUsage item;
  item.timestamp_text = date_utils::format_timestamp_ms(time);
  item.session_id = std::string(session_id);
  item.model = std::string(model);
  if (message_id) item.message_id = std::string(*message_id);
  item.timestamp = time;
  item.input = r.block.input;
  item.output = r.block.output;
  item.cache_read = r.block.cache_read;
  item.reasoning = r.extra;
  item.total = total;
  return item;
}

std::vector<std::string> price_candidates(std::string_view model) {
  std::vector<std::string> names;
  for (std::string_view prefix : {"google", "gemini", "vertex_ai", "openrouter/google"})
    reader::add_candidate(names, std::string(prefix) + "/" + std::string(model));
  reader::add_candidate(names, std::string(model));
  return names;
}

std::vector<GeminiMessageUsage> parse_file(const fs::path& path, std::string_view text, std::int64_t file_time,
                                           json::StrictParser& parser) {
  if (path.extension() == ".jsonl") return parse_lines(path, text, file_time, parser);
  return parse_document(path, text, file_time, parser);
}

AgentLoadResult load_gemini_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Gemini, options);
  auto roots = reader::directory_roots("GEMINI_DATA_DIR", ".gemini/tmp", reader::NoHome::Empty);
  if (!roots) return run.fail(roots.error());
  std::vector<fs::path> files;
  for (const auto& root : *roots) {
    reader::walk(root, "json", files, run.unread());
    UnreadFiles again;  // the directories of the walk before
    reader::walk(root, "jsonl", files, again);
  }
  reader::sort_paths(files);

  auto items = reader::parse_json_files<GeminiMessageUsage>(
      files, options.common.single_thread, run.unread(),
      [](const fs::path& path, std::string_view text, json::StrictParser& parser) {
        return parse_file(path, text, reader::file_time_ms(path).value_or(0), parser);
      });
  std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });

  reader::Prices prices(&table);
  std::vector<UsageRecord> records;
  records.reserve(items.size());
  for (auto& item : items) {
    UsageRecord r = reader::record_at(AgentKind::Gemini, "Gemini", item.model, item.timestamp, options.zone);
    r.tokens.input = item.input;
    r.tokens.output = item.output;
    r.tokens.cache_read = item.cache_read;
    r.record_id = std::move(item.message_id);
    r.session_text = item.session_id;
    r.session_id = std::move(item.session_id);
    const std::uint64_t counted = util::saturating_add(util::saturating_add(item.input, item.cache_read), item.output);
    r.reasoning = item.total > counted ? item.total - counted : 0;
    TokenUsageRaw priced = r.tokens;
    priced.output = util::saturating_add(priced.output, r.reasoning);
    prices.price_computed(r, options.common.mode, prices.candidates(item.model, [&] { return price_candidates(item.model); }),
                          priced, reader::token_sum(priced));
    records.push_back(std::move(r));
  }
  return run.finish(std::move(records));
}

}  // namespace qm::gemini::parser
