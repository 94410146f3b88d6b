#include "adapter/qwen/parser.h"

#include <fmt/format.h>

#include <tuple>

#include "date_utils.h"
#include "log.h"
#include "reader/reader.h"
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

std::optional<QwenChatUsage> line_usage(json::element line, const std::string& project, const std::string& file_session,
                                        std::int64_t file_time) {
  if (reader::string(at(line, "type")) != "assistant") return std::nullopt;
  const auto usage = at(line, "usageMetadata");
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

  QwenChatUsage item;
  const auto stamp = reader::text(at(line, "timestamp"));
  const auto parsed = stamp ? date_utils::parse_timestamp_ms(*stamp) : std::nullopt;
  item.timestamp = parsed.value_or(file_time);
  item.timestamp_text = parsed ? std::string(*stamp) : date_utils::format_timestamp_ms(file_time);
  const auto session = reader::text(at(line, "sessionId"));
  item.session_id = session ? std::string(*session) : file_session;
  item.model = std::string(reader::text(at(line, "model")).value_or("unknown"));
  item.project = project;
  item.input = r.block.input;
  item.output = r.block.output;
  item.cache_read = r.block.cache_read;
  item.reasoning = r.extra;
  return item;
}

// The usage lines of one chat file, handed over line by line.
class ChatFile {
 public:
  ChatFile(const fs::path& path, std::int64_t file_time)
      : project_(project_of(path)), session_(project_ + "-" + reader::file_stem(path).value_or("unknown")),
        file_time_(file_time) {}
  void line(std::string_view line, json::StrictParser& parser) {
    auto obj = parser.parse(line);  // refuses a line that is not UTF-8
    if (!obj || !obj->is_object()) return;
    if (auto item = line_usage(*obj, project_, session_, file_time_)) items_.push_back(std::move(*item));
  }
  std::vector<QwenChatUsage> take() { return std::move(items_); }

 private:
  std::string project_;
  std::string session_;
  std::int64_t file_time_;
  std::vector<QwenChatUsage> items_;
};

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
  std::vector<fs::path> files;
  auto roots = reader::directory_roots("QWEN_DATA_DIR", ".qwen", reader::NoHome::Empty);
  for (const auto& root : roots.value_or(std::vector<fs::path>{})) {
    const fs::path projects = root / "projects";
    reader::walk(projects, "jsonl", [&](const fs::path& p) { return is_chat_file(projects, p); }, files, unread);
  }
  reader::sort_paths(files);
  return files;
}

std::vector<std::string> price_candidates(std::string_view model) {
  const std::string m(model);
  return {m, "qwen/" + m, "alibaba/" + m};
}

std::vector<QwenChatUsage> parse_file(const fs::path& path, std::string_view text, std::int64_t file_time,
                                      json::StrictParser& parser) {
  ChatFile chat(path, file_time);
  reader::for_each_line(text, [&](std::string_view line) { chat.line(line, parser); });
  return chat.take();
}

AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options) {
  const auto table = reader::own_table(options.common);
  return load_qwen_usage(options, table ? &*table : nullptr);
}

AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options, const pricing::PricingTable* table) {
  reader::Run run(AgentKind::Qwen, options);
  const auto files = find_chat_files(run.unread());
  const bool debug = options.common.debug;
  // Read in chunks: a chat's size does not matter.
  auto parsed = reader::read_files<std::vector<QwenChatUsage>>(files, options.common.single_thread, run.unread(),
                                                               [debug] {
    return [debug, lines = jsonl::LineReader(), parser = json::StrictParser()](
               const fs::path& path) mutable -> std::expected<std::vector<QwenChatUsage>, std::string> {
      auto time = reader::file_time(path);
      ChatFile chat(path, time.value_or(date_utils::now_ms()));
      auto done = reader::for_each_line(lines, path, [&](std::string_view line) { chat.line(line, parser); });
      if (!done) return std::unexpected(std::move(done.error()));
      if (!time)
        log::debug_print(debug, fmt::format("Failed to read Qwen chat file timestamp for {}: {}", path.string(),
                                            time.error()));
      return chat.take();
    };
  });
  std::vector<QwenChatUsage> items = reader::concatenate(parsed);
  // The same reply logged twice (a copied file, a repeated line) counts once.
  reader::drop_repeated(items, 0, [](const QwenChatUsage& i) {
    return std::tie(i.session_id, i.timestamp_text, i.model, i.input, i.output, i.cache_read, i.reasoning);
  });

  reader::Prices prices(table);
  std::vector<UsageRecord> records;
  records.reserve(items.size());
  for (auto& item : items) {
    UsageRecord r = reader::record_at(AgentKind::Qwen, item.project, item.model, item.timestamp, options.zone);
    r.timestamp_text = std::move(item.timestamp_text);
    r.tokens.input = item.input;
    r.tokens.output = item.output;
    r.tokens.cache_read = item.cache_read;
    r.reasoning = item.reasoning;
    r.session_text = item.session_id;
    r.session_id = std::move(item.session_id);
    TokenUsageRaw priced = r.tokens;
    priced.output = util::saturating_add(priced.output, item.reasoning);
    prices.price_computed(r, options.common.mode, prices.candidates(item.model, [&] { return price_candidates(item.model); }),
                          priced, reader::token_sum(priced));
    records.push_back(std::move(r));
  }
  auto usage = run.finish(std::move(records));
  // Chat files whose lines all lack usage still show the agent is in use.
  if (usage) usage->detected = usage->detected || !files.empty();
  return usage;
}

}  // namespace qm::qwen::parser
