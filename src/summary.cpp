#include "summary.h"

#include <map>

#include "date_utils.h"
#include "sort.h"

namespace qm::summary {

void add_to_group(UsageGroup& g, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost,
                  const std::optional<double>& credits, const std::optional<std::uint64_t>& message_count) {
  all::types::add_token_totals(g.totals, tokens);
  g.reasoning += reasoning;
  g.cost += cost;
  if (credits) g.credits = g.credits.value_or(0.0) + *credits;
  if (message_count) g.extra_count = g.extra_count.value_or(0) + *message_count;
}

void add_to_model(ModelUsage& m, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost, bool unpriced) {
  m.input += tokens.input;
  m.output += tokens.output;
  m.cache_creation += tokens.effective_cache_creation();
  m.cache_read += tokens.cache_read;
  m.reasoning += reasoning;
  m.cost += cost;
  if (unpriced) m.unpriced = true;
}

void add_record(DayAccumulator& acc, const UsageRecord& r) {
  UsageGroup& g = acc.group;
  add_to_group(g, r.tokens, r.reasoning, r.cost, r.credits, r.message_count);
  if (!r.model_key) return;
  auto [it, inserted] = acc.model_index.try_emplace(*r.model_key, g.model_usages.size());
  if (inserted) {
    g.models.push_back(*r.model_key);
    g.model_usages.push_back(ModelUsage{*r.model_key});
  }
  add_to_model(g.model_usages[it->second], r.tokens, r.reasoning, r.cost, r.unpriced.has_value());
}

UsageGroup finish_group(DayAccumulator acc, std::string label) {
  UsageGroup g = std::move(acc.group);
  sort::sort_model_usages(g.model_usages);
  g.label = std::move(label);
  return g;
}

std::vector<UsageGroup> group_by_day(const std::vector<UsageRecord>& records) {
  std::map<std::string, DayAccumulator, std::less<>> days;
  for (const auto& r : records) {
    auto it = days.find(r.date_key);
    if (it == days.end()) it = days.emplace(r.date_key, DayAccumulator{}).first;
    add_record(it->second, r);
  }
  std::vector<UsageGroup> out;
  out.reserve(days.size());
  for (auto& [label, acc] : days) out.push_back(finish_group(std::move(acc), label));
  return out;
}

std::expected<std::vector<UsageGroup>, std::string> group_records(const std::vector<UsageRecord>& records,
                                                                  GroupingMode) {
  return group_by_day(records);
}

std::optional<std::string> week_start(std::string_view date, int first_weekday) {
  auto d = date_utils::parse_ymd(date);
  if (!d) return std::nullopt;
  int w = date_utils::weekday(*d);
  int back = w >= first_weekday ? w - first_weekday : w - first_weekday + 7;
  return date_utils::format_ymd(date_utils::add_days(*d, -back));
}

}  // namespace qm::summary
