#include "adapter/all/loader.h"

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "adapter/amp/amp.h"
#include "adapter/claude/loader.h"
#include "adapter/codebuff/parser.h"
#include "adapter/codex/aggregate.h"
#include "adapter/copilot/reader.h"
#include "adapter/cursor/loader.h"
#include "adapter/droid/droid.h"
#include "adapter/gemini/parser.h"
#include "adapter/goose/parser.h"
#include "adapter/hermes/sessions.h"
#include "adapter/kilo/messages.h"
#include "adapter/kimi/reader.h"
#include "adapter/openclaw/parser.h"
#include "adapter/opencode/report.h"
#include "adapter/pi/pi.h"
#include "adapter/qwen/parser.h"
#include "date_utils.h"
#include "log.h"
#include "output.h"
#include "pricing/table.h"
#include "progress.h"
#include "reader/usage_list.h"
#include "sort.h"
#include "util.h"

namespace qm::all::loader {
namespace {

struct Message {
  std::size_t row_index;
  std::string_view agent_id;
  AgentKind kind;
  AgentLoadResult result;
};

// A multi-producer queue: each loader thread sends one message and then says it is done.
class Channel {
 public:
  explicit Channel(std::size_t senders) : open_senders_(senders) {}
  void send(Message m) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(m));
    cv_.notify_one();
  }
  void drop_sender() {
    std::lock_guard lock(mutex_);
    --open_senders_;
    cv_.notify_one();
  }
  std::optional<Message> receive() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !queue_.empty() || open_senders_ == 0; });
    if (queue_.empty()) return std::nullopt;
    Message m = std::move(queue_.front());
    queue_.erase(queue_.begin());
    return m;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> queue_;
  std::size_t open_senders_;
};

void merge_model_usages(std::vector<ModelUsage>& into, const std::vector<ModelUsage>& from) {
  for (const auto& m : from) {
    auto it = std::find_if(into.begin(), into.end(), [&](const ModelUsage& x) { return x.model == m.model; });
    if (it == into.end()) {
      into.push_back(m);
      continue;
    }
    all::types::add_model_usage(*it, m);
  }
}

AgentUsage nothing_found() { return AgentUsage{}; }

}  // namespace

LoadOptions make_load_options(const CommonOptions& options) {
  LoadOptions lo{options, date_utils::report_zone(options.timezone)};
  lo.common.json = true;
  return lo;
}

std::vector<UsageRow> merge_rows_by_label(std::vector<UsageRow> rows) {
  struct Entry {
    std::vector<UsageRow> parts;
    std::unordered_map<std::string, std::size_t> by_agent;
    UsageRow sums;
    std::set<std::string> models;
    std::set<std::string> agents;
  };
  std::map<std::string, Entry> entries;
  for (auto& row : rows) {
    Entry& e = entries[row.label];
    all::types::add_row_usage(e.sums, row);
    e.models.insert(row.models.begin(), row.models.end());
    if (row.agents.empty())
      e.agents.insert(row.agent_id);
    else
      e.agents.insert(row.agents.begin(), row.agents.end());
    auto it = e.by_agent.find(row.agent_id);
    if (it == e.by_agent.end()) {
      e.by_agent.emplace(row.agent_id, e.parts.size());
      e.parts.push_back(std::move(row));
      continue;
    }
    UsageRow& own = e.parts[it->second];
    all::types::add_row_usage(own, row);
    own.models.insert(own.models.end(), row.models.begin(), row.models.end());
    std::sort(own.models.begin(), own.models.end());
    own.models.erase(std::unique(own.models.begin(), own.models.end()), own.models.end());
    merge_model_usages(own.model_usages, row.model_usages);
    sort::sort_model_usages(own.model_usages);
  }

  std::vector<UsageRow> merged;
  merged.reserve(entries.size());
  for (auto& [label, e] : entries) {
    UsageRow m = e.sums;
    m.label = label;
    m.agent_id = "all";
    m.agents.assign(e.agents.begin(), e.agents.end());
    m.models.assign(e.models.begin(), e.models.end());
    std::stable_sort(e.parts.begin(), e.parts.end(),
                     [](const UsageRow& a, const UsageRow& b) { return sort::agent_id_less(a.agent_id, b.agent_id); });
    for (auto& part : e.parts) {
      part.label = label;
      merge_model_usages(m.model_usages, part.model_usages);
    }
    sort::sort_model_usages(m.model_usages);
    m.parts = std::move(e.parts);
    merged.push_back(std::move(m));
  }
  return merged;
}

std::vector<UsageRow> to_usage_rows(std::string_view agent_id, const std::vector<UsageGroup>& groups) {
  std::vector<UsageRow> rows;
  for (const auto& g : groups) {
    if (!g.label) continue;
    const std::uint64_t total =
        util::saturating_sum({g.totals.input, g.totals.output, g.totals.cache_creation, g.totals.cache_read, g.reasoning});
    if (total == 0) continue;
    UsageRow r;
    r.label = *g.label;
    r.models = g.models;
    r.model_usages = g.model_usages;
    r.agents = {std::string(agent_id)};
    r.agent_id = std::string(agent_id);
    r.input = g.totals.input;
    r.output = g.totals.output;
    r.cache_creation = g.totals.cache_creation;
    r.cache_read = g.totals.cache_read;
    r.total = total;
    r.cost = g.cost;
    if (g.credits) r.metadata = RowMetadata{.credits = g.credits};
    rows.push_back(std::move(r));
  }
  return rows;
}

AgentUsage records_to_usage(std::string_view agent_id, std::vector<UsageRecord> records, const LoadOptions& options,
                            RecordOrder order) {
  reader::UsageList list(options.zone);
  for (const auto& r : records) list.add_record(r);
  return list_to_usage(agent_id, list, options, order);
}

AgentUsage list_to_usage(std::string_view agent_id, const reader::UsageList& list, const LoadOptions& options,
                         RecordOrder order) {
  AgentUsage usage;
  usage.detected = !list.empty();
  const DateRange range = options.range();
  usage.rows = to_usage_rows(
      agent_id, list.group_by_day([&](std::string_view date) { return in_date_range(range, date); }, order == RecordOrder::ByTime));
  return usage;
}

AgentTable default_agent_table(const LoadContext& context) {
  struct Row {
    std::string_view id;
    AgentKind kind;
  };
  static constexpr Row kRows[] = {
      {"claude", AgentKind::Claude},   {"codex", AgentKind::Codex},     {"opencode", AgentKind::OpenCode},
      {"amp", AgentKind::Amp},         {"droid", AgentKind::Droid},     {"codebuff", AgentKind::Codebuff},
      {"hermes", AgentKind::Hermes},   {"pi", AgentKind::Pi},           {"goose", AgentKind::Goose},
      {"openclaw", AgentKind::OpenClaw}, {"kilo", AgentKind::Kilo},     {"cursor", AgentKind::Cursor},
      {"copilot", AgentKind::Copilot}, {"gemini", AgentKind::Gemini},   {"kimi", AgentKind::Kimi},
      {"qwen", AgentKind::Qwen},
  };
  AgentTable table;
  for (std::size_t i = 0; i < std::size(kRows); ++i)
    table.push_back(LoaderEntry{kRows[i].id, nothing_found, i, kRows[i].kind});
  table[0].reader = [&options = context.options] { return claude::load_usage_entries(options); };
  // A reader of the load options and the shared price table.
  auto shared = [&context](AgentLoadResult (*load)(const LoadOptions&, const pricing::PricingTable&)) {
    return [load, &options = context.options, &prices = context.prices] { return load(options, prices); };
  };
  table[1].reader = shared(codex::aggregate::load_codex_usage);
  // OpenCode loads a price table of its own.
  table[2].reader = [&options = context.options] { return opencode::report::load_opencode_usage(options); };
  table[3].reader = shared(amp::load_amp_usage);
  table[4].reader = shared(droid::load_droid_usage);
  table[5].reader = shared(codebuff::parser::load_codebuff_usage);
  table[6].reader = shared(hermes::load_hermes_usage);
  table[7].reader = shared(pi::load_pi_usage);
  table[8].reader = shared(goose::parser::load_goose_usage);
  table[9].reader = shared(openclaw::parser::load_openclaw_usage);
  table[10].reader = shared(kilo::load_kilo_usage);
  table[11].reader = shared(cursor::loader::load_cursor_usage);
  table[12].reader = shared(copilot::load_copilot_usage);
  table[13].reader = shared(gemini::parser::load_gemini_usage);
  table[14].reader = shared(kimi::load_kimi_usage);
  // Qwen loads a price table of its own.
  table[15].reader = [&options = context.options] { return qwen::parser::load_qwen_usage(options); };
  return table;
}

std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options) {
  return load_agents(options, default_agent_table);
}

std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options, const TableBuilder& build_table) {
  auto progress = progress::start_spinner(log::output_enabled() && !options.json && progress::spinner_enabled());
  // The download's message joins the spinner above; with JSON output nothing draws at all.
  auto prices = pricing::load_price_table(options.offline, log::output_enabled() && !options.json,
                                          options.pricing_overrides);
  LoadOptions load_options = make_load_options(options);
  LoadContext context{qm::summary::GroupingMode::Daily, load_options, prices};

  AgentTable table = build_table(context);
  if (!options.agents.empty())
    std::erase_if(table, [&](const LoaderEntry& e) {
      return std::find(options.agents.begin(), options.agents.end(), e.agent_id) == options.agents.end();
    });
  for (const auto& e : table) progress::mark_loading(progress, e.kind);

  Channel channel(table.size());
  std::vector<std::thread> threads;
  threads.reserve(table.size());
  for (auto& e : table) {
    threads.emplace_back([&channel, entry = std::move(e)]() mutable {
      channel.send(Message{entry.row_index, entry.agent_id, entry.kind, entry.reader()});
      channel.drop_sender();
    });
  }
  std::vector<Message> results;
  while (auto m = channel.receive()) {
    if (m->result)
      progress::mark_done(progress, m->kind);
    else
      progress::mark_skipped(progress, m->kind);
    results.push_back(std::move(*m));
  }
  for (auto& t : threads) t.join();

  std::stable_sort(results.begin(), results.end(),
                   [](const Message& a, const Message& b) { return a.row_index < b.row_index; });
  progress::stop_spinner(progress);
  // Said whatever the log level or output: a report that leaves files out must say so.
  for (const auto& m : results)
    if (m.result && !m.result->unread.empty()) {
      const std::string line =
          all::types::unread_files_warning(all::types::agent_info(m.kind).display_name, m.result->unread);
      std::fputs(line.c_str(), stderr);
    }
  for (const auto& m : results)
    if (!m.result) return std::unexpected(m.result.error());

  LoadedUsage loaded;
  std::vector<UsageRow> all_rows;
  for (auto& m : results) {
    if (m.result->detected) loaded.detected.emplace_back(m.agent_id);
    for (auto& r : m.result->rows) all_rows.push_back(std::move(r));
  }
  loaded.rows = merge_rows_by_label(std::move(all_rows));
  std::stable_sort(loaded.rows.begin(), loaded.rows.end(), sort::row_less);
  if (options.order == SortOrder::Desc) std::reverse(loaded.rows.begin(), loaded.rows.end());
  return loaded;
}

}  // namespace qm::all::loader
