#include "adapter/gemini/reader.h"

#include <algorithm>

#include "date_utils.h"
#include "reader/files.h"
#include "reader/line_filter.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/usage_list.h"
#include "reader/values.h"
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

// (non-cached input, cache read)
std::pair<std::uint64_t, std::uint64_t> split_input(const GeminiTokenCounts& c, InputRule rule) {
  if (rule == InputRule::Statistics) return {c.input - std::min(c.cached, c.input), c.cached};
  return all::types::split_cached_input(c.input, c.cached, c.total,
                                        util::saturating_add(util::saturating_add(c.output, c.thoughts), c.tool));
}

// An item's counts, reconciled with its total; none when they count nothing.
struct Counted {
  all::types::Reconciled reconciled;
  std::uint64_t total = 0;

  // The counts of the item's record: its reasoning is what the total holds beyond the rest.
  reader::Counts record() const {
    const auto& b = reconciled.block;
    const std::uint64_t counted = util::saturating_add(util::saturating_add(b.input, b.cache_read), b.output);
    return reader::Counts{b.input, b.output, 0, b.cache_read, total > counted ? total - counted : 0};
  }
};

std::optional<Counted> counted(const GeminiTokenCounts& counts, InputRule rule) {
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
  return Counted{r, total};
}

// A statistics block's "models" entries that have tokens, in key order.
std::vector<std::pair<std::string_view, json::element>> model_entries(json::element stats) {
  std::vector<std::pair<std::string_view, json::element>> entries;
  simdjson::dom::object models;
  if (stats.at_key("models").get_object().get(models)) return entries;
  for (auto field : models)
    if (reader::is_object(at(field.value, "tokens"))) entries.emplace_back(field.key, field.value);
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return entries;
}

constexpr std::size_t kKeptDocumentRoom = 1 << 20;

Reply reply_of(const GeminiMessageUsage& item, reader::Names& models) {
  const reader::Counts& c = item.counts;
  const std::uint64_t counted = util::saturating_add(util::saturating_add(c.input, c.cache_read), c.output);
  const std::uint64_t beyond = item.total > counted ? item.total - counted : 0;
  return Reply{{item.timestamp, reader::Counts{c.input, c.output, 0, c.cache_read, beyond}}, models.id(item.model),
               std::nullopt};
}

}  // namespace

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
  for (const auto& [name, entry] : model_entries(*stats))
    if (auto item = build_message_usage(name, session_id, time, *read_token_counts(at(entry, "tokens")),
                                        InputRule::Statistics, std::nullopt))
      items.push_back(std::move(*item));
  if (!items.empty()) return items;
  if (auto item = build_message_usage(fallback_model.value_or("unknown"), session_id, time, *read_token_counts(stats),
                                      InputRule::Statistics, std::nullopt))
    items.push_back(std::move(*item));
  return items;
}

std::optional<GeminiMessageUsage> build_message_usage(std::string_view model, std::string_view session_id,
                                                      std::int64_t time, const GeminiTokenCounts& counts, InputRule rule,
                                                      std::optional<std::string_view> message_id) {
  if (util::trim(model).empty()) return std::nullopt;
  const auto c = counted(counts, rule);
  if (!c) return std::nullopt;
  GeminiMessageUsage item;
  item.timestamp_text = date_utils::format_timestamp_ms(time);
  item.session_id = std::string(session_id);
  item.model = std::string(model);
  if (message_id) item.message_id = std::string(*message_id);
  item.timestamp = time;
  item.counts = reader::Counts::of(c->reconciled);
  item.total = c->total;
  return item;
}

std::vector<std::string> price_candidates(std::string_view model) {
  std::vector<std::string> names;
  for (std::string_view prefix : {"google", "gemini", "vertex_ai", "openrouter/google"})
    reader::add_candidate(names, std::string(prefix) + "/" + std::string(model));
  reader::add_candidate(names, std::string(model));
  return names;
}

bool may_matter(std::string_view line) { return reader::may_name(line, {"model\"", "gemini\"", "stats\""}); }

LogFold::LogFold(FileItems& items, std::int64_t file_time, bool at_file_start) : items_(&items), file_time_(file_time) {
  current_.known = at_file_start;
}

void LogFold::line(std::string_view line, json::StrictParser& parser) {
  if (!may_matter(line)) return;
  auto obj = parser.parse(line);  // the bytes after the line are the file's or the reader's padding
  if (!obj || !obj->is_object()) return;
  // A line's "sessionId" names the session of the lines from it on; sessions are not reported.
  if (auto m = reader::text(at(*obj, "model"))) current_ = CurrentModel{true, items_->models.id(*m)};
  if (reader::string(at(*obj, "type")) == "gemini")
    message(*obj);
  else if (auto stats = stats_of(*obj))
    statistics(*stats, time_or(at(*obj, "timestamp"), file_time_));
}

void LogFold::message(json::element message) {
  auto counts = read_token_counts(at(message, "tokens"));
  if (!counts) return;
  // The line's own model, if any, is the current one now.
  if (current_.known && current_.model == reader::Names::kNone) return;
  auto c = counted(*counts, InputRule::Message);
  if (!c) return;
  const std::int64_t time = reader::first_of(message, {"timestamp", "created_at"}, reader::time_text_ms).value_or(file_time_);
  place(Reply{{time, c->record()}, current_.known ? current_.model : kInheritedModel, std::nullopt},
        reader::text(at(message, "id")));
}

void LogFold::statistics(json::element stats, std::int64_t time) {
  if (!stats.is_object()) return;
  bool any = false;
  for (const auto& [name, entry] : model_entries(stats)) {
    if (util::trim(name).empty()) continue;
    if (auto c = counted(*read_token_counts(at(entry, "tokens")), InputRule::Statistics)) {
      place(Reply{{time, c->record()}, items_->models.id(name), std::nullopt}, std::nullopt);
      any = true;
    }
  }
  if (any) return;
  auto c = counted(*read_token_counts(stats), InputRule::Statistics);
  if (!c) return;
  std::uint32_t model = kInheritedOrUnknown;
  if (current_.known) model = items_->models.id(current_.model == reader::Names::kNone ? "unknown" : items_->models[current_.model]);
  place(Reply{{time, c->record()}, model, std::nullopt}, std::nullopt);
}

void ReplyPlaces::place(FileItems& items, Reply reply, std::optional<std::string_view> id) {
  auto& replies = items.replies;
  reply.id = std::nullopt;
  if (!id) {
    replies.push_back(reply);
    return;
  }
  const auto met = ids_.meet(*id);
  if (!met.first) {
    reply.id = replies[place_of_[met.number]].id;
    replies[place_of_[met.number]] = reply;  // the later line wins, in the earlier place
    return;
  }
  reply.id = items.ids.keep(*id);
  place_of_.push_back(static_cast<std::uint32_t>(replies.size()));
  replies.push_back(reply);
}

void ReplyPlaces::take(const FileItems& items) {
  for (std::size_t i = 0; i < items.replies.size(); ++i)
    if (const auto& id = items.replies[i].id; id && ids_.meet(items.ids[*id]).first)
      place_of_.push_back(static_cast<std::uint32_t>(i));
}

void LogFold::place(Reply reply, std::optional<std::string_view> id) {
  if (current_.known) {
    places_.place(*items_, reply, id);
    return;
  }
  // Matched against the ids of the parts before when they are put together.
  if (id) reply.id = items_->ids.keep(*id);
  items_->inherited.push_back(reply);
}

void LogJoin::add(PartItems added) {
  // The first part's places are taken only when a second comes: a file read whole needs none.
  if (!placed_) places_.take(whole_);
  placed_ = true;
  FileItems& part = added.items;
  std::vector<std::uint32_t> models(part.models.size());
  for (std::uint32_t i = 0; i < models.size(); ++i) models[i] = whole_.models.id(part.models[i]);
  auto id_of = [&](const Reply& r) { return r.id ? std::optional(part.ids[*r.id]) : std::nullopt; };
  for (; !part.inherited.empty(); part.inherited.pop_front()) {
    Reply r = part.inherited.front();
    if (r.model == kInheritedModel) {
      if (current_.model == reader::Names::kNone) continue;  // a reply without a model counts nothing
      r.model = current_.model;
    } else if (r.model == kInheritedOrUnknown) {
      r.model = current_.model != reader::Names::kNone ? current_.model : whole_.models.id("unknown");
    } else {
      r.model = models[r.model];
    }
    places_.place(whole_, r, id_of(r));
  }
  for (; !part.replies.empty(); part.replies.pop_front()) {
    Reply r = part.replies.front();
    r.model = models[r.model];
    places_.place(whole_, r, id_of(r));
  }
  const CurrentModel& left = added.current;
  if (left.known)
    current_ = CurrentModel{true, left.model == reader::Names::kNone ? reader::Names::kNone : models[left.model]};
}

std::expected<FileItems, std::string> FileReader::read(const fs::path& path, std::int64_t file_time) {
  return path.extension() == ".jsonl" ? read_log(path, file_time) : read_document(path, file_time);
}

std::expected<PartItems, std::string> FileReader::read(const fs::path& path, const jsonl::FilePart& part,
                                                      std::int64_t file_time) {
  if (path.extension() == ".jsonl") return read_log(path, part, file_time);
  PartItems got;
  if (part.index > 0) {
    got.current.known = false;  // changes nothing when put together
    return got;
  }
  auto items = read_document(path, file_time);
  if (!items) return std::unexpected(std::move(items.error()));
  got.items = std::move(*items);
  return got;
}

std::expected<FileItems, std::string> FileReader::read_log(const fs::path& path, std::int64_t file_time) {
  auto got = read_log(path, jsonl::FilePart{}, file_time);
  if (!got) return std::unexpected(std::move(got.error()));
  return std::move(got->items);
}

std::expected<PartItems, std::string> FileReader::read_log(const fs::path& path, const jsonl::FilePart& part,
                                                          std::int64_t file_time) {
  PartItems got;
  LogFold fold(got.items, file_time, part.begin == 0);
  // A line that is not UTF-8 does not parse: it is passed over like any other.
  auto done = reader::for_each_line(lines_, path, part, [&](std::string_view line) { fold.line(line, parser_); });
  if (!done) return std::unexpected(std::move(done.error()));
  got.current = fold.current();
  return got;
}

std::expected<FileItems, std::string> FileReader::read_document(const fs::path& path, std::int64_t file_time) {
  FileItems items;
  // A document is read whole; its usage is a few replies per message at most.
  auto text = reader::read_text(path);
  if (!text) return std::unexpected(std::move(text.error()));
  for (const auto& item : parse_document(path, text->view(), file_time, parser_))
    items.replies.push_back(reply_of(item, items.models));
  // The parser keeps room for the largest text it has read, several times its size: after a
  // large document a fresh one, so that a worker holds no more than the document in hand.
  if (text->view().size() > kKeptDocumentRoom) parser_ = json::StrictParser();
  return items;
}

AgentLoadResult load_gemini_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                  const parallel::PartSizes& sizes) {
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

  auto per_file =
      reader::read_files_with<LogJoin, FileReader>(files, options.common.single_thread, run.unread(), 0, sizes);

  const bool priced = options.common.mode != CostMode::Display;
  reader::Prices prices(&table);
  reader::UsageList usages(options.zone);
  for (auto& file : per_file) {
    reader::ListModels models(file.models, usages);
    // Each reply is let go once it is a usage.
    for (; !file.replies.empty(); file.replies.pop_front()) {
      const Reply& r = file.replies.front();
      reader::Usage& u = reader::add_counts(usages, r.time_ms, models(r.model), r.counts);
      const std::string_view model = file.models[r.model];
      const auto& candidates = prices.candidates(model, std::string_view(), [&] { return price_candidates(model); });
      if (!priced) continue;
      const TokenUsageRaw block = r.counts.priced();
      u.cost = pricing::cost_for(options.common.mode, std::nullopt, pricing::CostRule::FirstPriced, candidates.prices, block);
      u.unpriced = prices.unpriced(candidates, reader::token_sum(block));
    }
    file = FileItems();
  }
  return run.finish(usages);
}

}  // namespace qm::gemini::parser
