#include "adapter/openclaw/session_log.h"

#include <bit>
#include <tuple>

#include "pricing/cost.h"
#include "reader/reader.h"

namespace qm::openclaw::session_log {

using reader::at;

std::optional<MessageUsage> message_usage(reader::MaybeElement usage) {
  TokenUsageRaw block;
  block.input = reader::count_or_zero(at(usage, "input"));
  block.output = reader::count_or_zero(at(usage, "output"));
  block.cache_creation = reader::count_or_zero(at(usage, "cacheWrite"));
  block.cache_read = reader::count_or_zero(at(usage, "cacheRead"));
  const auto r = all::types::reconcile_token_total(block, 0, reader::count_or_zero(at(usage, "totalTokens")));
  if (r.counts_nothing()) return std::nullopt;
  // A negative or non-finite cost would lower the totals: it counts as not recorded.
  return MessageUsage{r.block, r.extra, reader::amount(at(usage, {"cost", "total"}))};
}

std::string model_label(AgentKind kind, std::string_view model) {
  std::string label = "[";
  label += all::types::agent_info(kind).id;
  label += "] ";
  label += model;
  return label;
}

std::vector<UsageRecord> to_records(AgentKind kind, std::vector<SessionLog> logs, const all::loader::LoadOptions& options,
                                    const pricing::PricingTable& table) {
  struct Priced {
    const SessionLog* log;
    LogUsage* usage;
    double cost;
    std::optional<std::string_view> unpriced;
  };
  const CostMode mode = options.common.mode;
  reader::Prices prices(&table);  // a label is never an exact key: look each up once
  std::vector<Priced> priced;
  for (auto& log : logs)
    for (auto& u : log.usages) {
      const auto& block = u.usage.tokens;
      const bool recorded = u.usage.recorded_cost.has_value();
      // Looked up only when the cost is computed: a missed name may fetch the catalogue.
      const bool computed = mode == CostMode::Calculate || (mode == CostMode::Auto && !recorded);
      const pricing::ModelPrice* price = u.model && computed ? prices.find(*u.model) : nullptr;
      Priced p{&log, &u, pricing::cost_for_mode_at_price(price, block, u.usage.recorded_cost, mode), std::nullopt};
      if (u.model && !price && pricing::reports_missing_price(block, recorded, mode)) p.unpriced = *u.model;
      priced.push_back(p);
    }
  reader::drop_repeated(priced, 0, [](const Priced& p) {
    const auto& t = p.usage->usage.tokens;
    // The cost as its bits: two costs are the same when their shortest texts are.
    return std::make_tuple(std::string_view(p.log->project), std::string_view(p.log->session_id),
                           std::string_view(p.usage->timestamp_text), p.usage->time,
                           p.usage->model ? std::string_view(*p.usage->model) : std::string_view(), t.input, t.output,
                           t.cache_creation, t.cache_read, p.usage->usage.reasoning, std::bit_cast<std::uint64_t>(p.cost));
  });

  std::vector<UsageRecord> records;
  records.reserve(priced.size());
  for (auto& p : priced) {
    LogUsage& u = *p.usage;
    UsageRecord r = reader::record_at(kind, p.log->project, u.model.value_or(std::string()), u.time, options.zone);
    if (kind == AgentKind::Pi) r.agent_id = p.log->project;  // pi's records name their project here
    if (!u.model) r.model = r.model_key = std::nullopt;
    if (!u.timestamp_text.empty()) r.timestamp_text = std::move(u.timestamp_text);
    r.tokens = u.usage.tokens;
    r.reasoning = u.usage.reasoning;
    r.recorded_cost = u.usage.recorded_cost;
    r.cost = p.cost;
    if (p.unpriced) r.unpriced = std::string(*p.unpriced);
    r.provider_text = std::move(u.provider);
    r.session_text = p.log->session_id;
    r.session_id = p.log->session_id;
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace qm::openclaw::session_log
