#include "adapter/openclaw/session_log.h"

#include <bit>
#include <map>

#include "adapter/all/registry.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/seen.h"
#include "reader/token_block.h"
#include "reader/usage_list.h"
#include "reader/values.h"

namespace qm::openclaw::session_log {

using reader::at;

std::optional<MessageUsage> message_usage(reader::MaybeElement usage) {
  const auto r = reader::count_block(usage, {"input", "output", "cacheWrite", "cacheRead", "totalTokens"});
  if (r.counts_nothing()) return std::nullopt;
  // A negative or non-finite cost would lower the totals: it counts as not recorded.
  return MessageUsage{reader::Counts::of(r), reader::amount(at(usage, {"cost", "total"}))};
}

std::uint32_t label_of(SessionLog& log, AgentKind kind, std::string_view model) {
  const std::uint32_t name = log.names.id(model);
  if (name == log.labels.size()) log.labels.push_back(log.models.id(model_label(kind, model)));
  return log.labels[name];
}

void append_part(SessionLog& whole, SessionLog&& part, std::uint32_t inherited) {
  std::vector<std::uint32_t> labels(part.models.size());
  for (std::uint32_t i = 0; i < labels.size(); ++i) labels[i] = whole.models.id(part.models[i]);
  // Each usage is let go as it is appended.
  for (; !part.usages.empty(); part.usages.pop_front()) {
    LogUsage u = part.usages.front();
    if (u.model == kInheritedModel)
      u.model = inherited;
    else if (u.model != reader::Names::kNone)
      u.model = labels[u.model];
    u.timestamp_text = whole.texts.keep(part.texts[u.timestamp_text]);
    whole.usages.push_back(u);
  }
  part = SessionLog();
}

std::string model_label(AgentKind kind, std::string_view model) {
  std::string label = "[";
  label += all::registry::agent(kind).id;
  label += "] ";
  label += model;
  return label;
}

void add_usages(std::vector<SessionLog>& logs, const all::loader::LoadOptions& options,
                const pricing::PricingTable& table, reader::UsageList& usages) {
  const CostMode mode = options.common.mode;
  reader::Prices prices(&table);  // a label is never an exact key: look each up once
  // A message copied into another file of the session counts once: the keys of a session that
  // only one file has are looked up among that file's alone.
  std::map<std::pair<std::string_view, std::string_view>, std::size_t> files_of;
  for (const auto& log : logs) ++files_of[{log.project, log.session_id}];
  reader::SeenKeys of_shared, of_file;
  reader::KeyBytes key;
  for (auto& log : logs) {
    const bool shared = files_of[{log.project, log.session_id}] > 1;
    reader::SeenKeys& seen = shared ? of_shared : of_file;
    of_file.clear();
    reader::ListModels models(log.models, usages);
    // Each usage is let go once it is one of the list's.
    for (; !log.usages.empty(); log.usages.pop_front()) {
      const LogUsage& u = log.usages.front();
      const TokenUsageRaw block = u.usage.counts.block();
      const bool recorded = u.usage.recorded_cost.has_value();
      const bool labelled = u.model != reader::Names::kNone;
      // Looked up only when the cost is computed: a missed name may fetch the catalogue.
      const bool computed = mode == CostMode::Calculate || (mode == CostMode::Auto && !recorded);
      const pricing::ModelPrice* price = labelled && computed ? prices.find(log.models[u.model]) : nullptr;
      const double cost = pricing::cost_for(mode, u.usage.recorded_cost, price, block);
      // The cost as its bits: two costs are the same when their shortest texts are.
      key.clear();
      if (shared) key.text(log.project).text(log.session_id);  // else the same for all the file's
      key.text(log.texts[u.timestamp_text]);
      key.number(static_cast<std::uint64_t>(u.time)).text(labelled ? log.models[u.model] : std::string_view());
      key.counts(u.usage.counts).number(std::bit_cast<std::uint64_t>(cost));
      if (!seen.first(key.view())) continue;
      reader::Usage& added = reader::add_counts(usages, u.time, models(u.model), u.usage.counts);
      added.cost = cost;
      added.unpriced = labelled && !price && pricing::reports_missing_price(block, recorded, mode);
    }
  }
}

}  // namespace qm::openclaw::session_log
