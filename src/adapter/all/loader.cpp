#include "adapter/all/loader.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "adapter/all/registry.h"
#include "date_utils.h"
#include "log.h"
#include "output.h"
#include "parallel.h"
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

}  // namespace

LoadOptions make_load_options(const CommonOptions& options) {
  LoadOptions lo{options, date_utils::report_zone(options.timezone)};
  lo.common.json = true;
  return lo;
}

std::vector<UsageRow> merge_rows_by_label(std::vector<UsageRow> rows) {
  // The rows of each label together, labels in order, each label's rows in the order given:
  // the sums are added up in that order.
  std::vector<std::size_t> order(rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rows[a].label < rows[b].label; });

  auto sorted_unique = [](std::vector<std::string>& texts) {
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
  };
  std::vector<UsageRow> merged;
  for (std::size_t first = 0, end = 0; first < order.size(); first = end) {
    std::string label = rows[order[first]].label;
    for (end = first + 1; end < order.size() && rows[order[end]].label == label;) ++end;
    UsageRow m;
    std::vector<UsageRow> parts;  // one per agent
    for (std::size_t k = first; k < end; ++k) {
      UsageRow& row = rows[order[k]];
      all::types::add_row_usage(m, row);
      m.models.insert(m.models.end(), row.models.begin(), row.models.end());
      if (row.agents.empty())
        m.agents.push_back(row.agent_id);
      else
        m.agents.insert(m.agents.end(), row.agents.begin(), row.agents.end());
      auto own = std::find_if(parts.begin(), parts.end(), [&](const UsageRow& p) { return p.agent_id == row.agent_id; });
      if (own == parts.end()) {
        parts.push_back(std::move(row));
        continue;
      }
      all::types::add_row_usage(*own, row);
      own->models.insert(own->models.end(), row.models.begin(), row.models.end());
      sorted_unique(own->models);
      merge_model_usages(own->model_usages, row.model_usages);
      sort::sort_model_usages(own->model_usages);
    }
    sorted_unique(m.models);
    sorted_unique(m.agents);
    std::stable_sort(parts.begin(), parts.end(),
                     [](const UsageRow& a, const UsageRow& b) { return sort::agent_id_less(a.agent_id, b.agent_id); });
    for (auto& part : parts) {
      part.label = label;
      merge_model_usages(m.model_usages, part.model_usages);
    }
    sort::sort_model_usages(m.model_usages);
    m.label = std::move(label);
    m.agent_id = "all";
    m.parts = std::move(parts);
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
  AgentTable table;
  for (const auto& agent : registry::agents())
    table.push_back(LoaderEntry{agent.id,
                                [read = agent.reader, &options = context.options, &prices = context.prices] {
                                  return read(options, prices);
                                },
                                static_cast<std::size_t>(agent.kind), agent.kind});
  return table;
}

std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options) {
  return load_agents(options, default_agent_table);
}

std::expected<LoadedUsage, std::string> load_agents(const CommonOptions& options, const TableBuilder& build_table) {
  // Started while the prices load, which the readers all wait for.
  parallel::start_helpers();
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

  // The agents take workers of the process's budget in table order, and each reader's own
  // workers come from the same budget: threads that finish one agent take the next, then help
  // the readers still at work. --single-thread keeps each reader to one thread; the agents
  // still go side by side, as they always have.
  std::vector<std::optional<Message>> done(table.size());
  parallel::run_tasks(table.size(), table.size(), [&](std::size_t i) {
    LoaderEntry& e = table[i];
    Message m{e.row_index, e.agent_id, e.kind, e.reader()};
    if (m.result)
      progress::mark_done(progress, m.kind);
    else
      progress::mark_skipped(progress, m.kind);
    done[i].emplace(std::move(m));
  });
  std::vector<Message> results;
  results.reserve(done.size());
  for (auto& m : done) results.push_back(std::move(*m));

  std::stable_sort(results.begin(), results.end(),
                   [](const Message& a, const Message& b) { return a.row_index < b.row_index; });
  progress::stop_spinner(progress);
  // Said whatever the log level or output: a report that leaves files out must say so.
  for (const auto& m : results)
    if (m.result && !m.result->unread.empty()) {
      const std::string line =
          all::types::unread_files_warning(registry::agent(m.kind).display_name, m.result->unread);
      std::fputs(line.c_str(), stderr);
    }
  for (const auto& m : results)
    if (!m.result) return std::unexpected(m.result.error());

  LoadedUsage loaded;
  std::vector<UsageRow> all_rows;
  std::size_t row_count = 0;
  for (const auto& m : results) row_count += m.result->rows.size();
  all_rows.reserve(row_count);
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
