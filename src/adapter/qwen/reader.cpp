#include "adapter/qwen/reader.h"

#include <fmt/core.h>

#include <tuple>
#include <unordered_map>

#include "date_utils.h"
#include "log.h"
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

namespace qm::qwen::parser {
namespace {

namespace fs = std::filesystem;
using reader::at;

// The project of a file laid out as projects/<project>/chats/<file>.
std::string project_of(const fs::path& path) {
  std::vector<fs::path> parts(path.begin(), path.end());
  const std::size_t n = parts.size();
  if (n >= 4 && parts[n - 4] == "projects" && parts[n - 2] == "chats") return parts[n - 3].string();
  return "unknown";
}

std::string file_session(const fs::path& path) { return project_of(path) + "-" + reader::file_stem(path).value_or("unknown"); }

// What an assistant line with usage says; its texts are the parser's, valid until the next parse.
struct ReplyLine {
  reader::Counts counts;
  std::optional<std::int64_t> time_ms;        // none: the file's time
  std::optional<std::string_view> timestamp;  // the line's own, when it gives the time
  std::optional<std::string_view> session;
  std::string_view model;
};

std::optional<ReplyLine> reply_line(std::string_view line, json::StrictParser& parser) {
  auto obj = parser.parse(line);  // refuses a line that is not UTF-8
  if (!obj || !obj->is_object()) return std::nullopt;
  if (reader::string(at(*obj, "type")) != "assistant") return std::nullopt;
  const auto usage = at(*obj, "usageMetadata");
  if (!usage) return std::nullopt;
  TokenUsageRaw block;
  block.output = reader::count_or_zero(at(usage, "candidatesTokenCount"));
  const std::uint64_t thoughts = reader::count_or_zero(at(usage, "thoughtsTokenCount"));
  const auto total = reader::count(at(usage, "totalTokenCount"));
  std::tie(block.input, block.cache_read) = all::types::split_cached_input(
      reader::count_or_zero(at(usage, "promptTokenCount")), reader::count_or_zero(at(usage, "cachedContentTokenCount")),
      total, util::saturating_add(block.output, thoughts));
  const auto r = all::types::reconcile_token_total(block, thoughts, total.value_or(0));
  if (r.counts_nothing()) return std::nullopt;

  ReplyLine reply;
  reply.counts = reader::Counts::of(r);
  const auto stamp = reader::text(at(*obj, "timestamp"));
  reply.time_ms = stamp ? date_utils::parse_timestamp_ms(*stamp) : std::nullopt;
  if (reply.time_ms) reply.timestamp = stamp;
  reply.session = reader::text(at(*obj, "sessionId"));
  reply.model = reader::text(at(*obj, "model")).value_or("unknown");
  return reply;
}

// Whether a line may be an assistant line with usage: it names both, plainly or perhaps with
// escapes. Most lines of a chat are prompts and tool results.
bool may_hold_reply(std::string_view line) {
  if (reader::mentions_quoted(line, "usageMetadata\"") && reader::mentions_quoted(line, "assistant\"")) return true;
  return reader::may_spell_names(line);
}

}  // namespace

bool is_chat_file(const fs::path& projects, const fs::path& path) {
  const fs::path relative = path.lexically_relative(projects);
  std::vector<fs::path> parts(relative.begin(), relative.end());
  if (parts.size() != 3 || parts[1] != "chats") return false;
  for (const auto& part : parts)
    if (part.empty() || part == "." || part == "..") return false;
  return parts[2].string().ends_with(".jsonl");
}

std::vector<fs::path> find_chat_files(UnreadFiles& unread) {
  return reader::find_files({"QWEN_DATA_DIR", ".qwen", reader::NoHome::Empty, "projects", "jsonl", is_chat_file}, unread)
      .value_or(std::vector<fs::path>{});
}

std::vector<std::string> price_candidates(std::string_view model) {
  const std::string m(model);
  return {m, "qwen/" + m, "alibaba/" + m};
}

std::vector<QwenChatUsage> parse_file(const fs::path& path, std::string_view text, std::int64_t file_time,
                                      json::StrictParser& parser) {
  const std::string project = project_of(path), session = file_session(path);
  std::vector<QwenChatUsage> items;
  reader::for_each_line(text, [&](std::string_view line) {
    auto reply = reply_line(line, parser);
    if (!reply) return;
    QwenChatUsage item;
    item.timestamp = reply->time_ms.value_or(file_time);
    item.timestamp_text = reply->timestamp ? std::string(*reply->timestamp) : date_utils::format_timestamp_ms(file_time);
    item.session_id = reply->session ? std::string(*reply->session) : session;
    item.model = std::string(reply->model);
    item.project = project;
    item.input = reply->counts.input;
    item.output = reply->counts.output;
    item.cache_read = reply->counts.cache_read;
    item.reasoning = reply->counts.reasoning;
    items.push_back(std::move(item));
  });
  return items;
}

void append_part(ChatFile& whole, ChatFile&& part) {
  std::vector<std::uint32_t> models(part.models.size()), sessions(part.sessions.size());
  for (std::uint32_t i = 0; i < models.size(); ++i) models[i] = whole.models.id(part.models[i]);
  for (std::uint32_t i = 0; i < sessions.size(); ++i) sessions[i] = whole.sessions.id(part.sessions[i]);
  reader::append_unmet(whole, part, [&](Reply r) {
    r.model = models[r.model];
    r.session = sessions[r.session];
    return r;
  });
  part = ChatFile();
}

std::expected<ChatFile, std::string> ChatReader::read(const fs::path& path, const jsonl::FilePart& part,
                                                      std::int64_t file_time) {
  ChatFile chat;
  const std::string session = file_session(path);
  std::optional<std::string> file_timestamp;  // the file time's text, made when a line needs it
  auto done = reader::for_each_line(lines_, path, part, [&](std::string_view line) {
    if (!may_hold_reply(line)) return;
    auto reply = reply_line(line, parser_);
    if (!reply) return;
    if (!reply->timestamp && !file_timestamp) file_timestamp = date_utils::format_timestamp_ms(file_time);
    const std::string_view timestamp = reply->timestamp ? *reply->timestamp : std::string_view(*file_timestamp);
    // The same reply logged twice (a copied file, a repeated line) counts once: equal ones of
    // this file are dropped here, the rest against those of other files of the session when
    // the files are put together.
    const std::string_view session_id = reply->session.value_or(session);
    key_.clear();
    key_.text(session_id).text(timestamp).text(reply->model).counts(reply->counts);
    // A repeated key names the model and session of the reply it repeats: no name is added.
    chat.add(Reply{{reply->time_ms.value_or(file_time), reply->counts}, chat.models.id(reply->model),
                   chat.sessions.id(session_id)},
             key_.view());
  });
  if (!done) return std::unexpected(std::move(done.error()));
  return chat;
}

AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options, const pricing::PricingTable&) {
  const auto table = reader::own_table(options.common);
  return load_qwen_usage(options, table ? &*table : nullptr);
}

AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options, const pricing::PricingTable* table,
                                const parallel::PartSizes& sizes) {
  reader::Run run(AgentKind::Qwen, options);
  const auto files = find_chat_files(run.unread());
  const bool debug = options.common.debug;
  const std::int64_t now = date_utils::now_ms();
  // Read in chunks, a large file in parts: a chat's size does not matter.
  auto chats = reader::read_files_in_parts<ChatJoin>(
      files, options.common.single_thread, run.unread(),
      [debug, now] {
        return [debug, now, reader = ChatReader()](const fs::path& path, const jsonl::FilePart& part,
                                                   const reader::FileTime& time) mutable {
          auto chat = reader.read(path, part, time.value_or(now));
          if (chat && !time && part.index == 0)
            log::debug_print(debug, fmt::format("Failed to read Qwen chat file timestamp for {}: {}", path.string(),
                                                time.error()));
          return chat;
        };
      },
      sizes);

  const bool priced = options.common.mode != CostMode::Display;
  reader::Prices prices(table);
  reader::UsageList usages(options.zone);
  // A reply copied into another file counts once: only the keys of sessions that two files
  // have are looked up among those of others.
  std::vector<std::vector<char>> shared(chats.size());  // by file and session
  {
    std::unordered_map<std::string_view, std::size_t> files_of;
    for (const auto& chat : chats)
      for (std::uint32_t s = 0; s < chat.sessions.size(); ++s) ++files_of[chat.sessions[s]];
    for (std::size_t i = 0; i < chats.size(); ++i)
      for (std::uint32_t s = 0; s < chats[i].sessions.size(); ++s) shared[i].push_back(files_of[chats[i].sessions[s]] > 1);
  }
  reader::SeenKeys seen;
  for (std::size_t i = 0; i < chats.size(); ++i) {
    ChatFile& chat = chats[i];
    reader::ListModels models(chat.models, usages);
    // Each reply is let go once it is a usage.
    for (; !chat.items.empty(); chat.items.pop_front()) {
      const Reply& r = chat.items.front();
      if (shared[i][r.session] && !seen.first(chat.keys.key(r.key))) continue;
      reader::Usage& u = reader::add_counts(usages, r.time_ms, models(r.model), r.counts);
      if (!priced) continue;
      const std::string_view model = chat.models[r.model];
      const auto& candidates = prices.candidates(model, std::string_view(), [&] { return price_candidates(model); });
      const TokenUsageRaw block = r.counts.priced();
      u.cost = pricing::cost_for(options.common.mode, std::nullopt, pricing::CostRule::FirstPriced, candidates.prices, block);
      u.unpriced = prices.unpriced(candidates, reader::token_sum(block));
    }
    chat = ChatFile();
  }
  auto usage = run.finish(usages);
  // Chat files whose lines all lack usage still show the agent is in use.
  if (usage) usage->detected = usage->detected || !files.empty();
  return usage;
}

}  // namespace qm::qwen::parser
