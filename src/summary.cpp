#include "summary.h"

#include "date_utils.h"
#include "util.h"

namespace qm::summary {

void add_to_group(UsageGroup& g, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost,
                  const std::optional<double>& credits, const std::optional<std::uint64_t>& message_count) {
  all::types::add_token_totals(g.totals, tokens);
  g.reasoning = util::saturating_add(g.reasoning, reasoning);
  g.cost += cost;
  if (credits) g.credits = g.credits.value_or(0.0) + *credits;
  if (message_count) g.extra_count = util::saturating_add(g.extra_count.value_or(0), *message_count);
}

void add_to_model(ModelUsage& m, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost, bool unpriced) {
  all::types::add_model_tokens(m, tokens, reasoning);
  m.cost += cost;
  if (unpriced) m.unpriced = true;
}

std::optional<std::string> week_start(std::string_view date, int first_weekday) {
  auto d = date_utils::parse_ymd(date);
  if (!d) return std::nullopt;
  int w = date_utils::weekday(*d);
  int back = w >= first_weekday ? w - first_weekday : w - first_weekday + 7;
  return date_utils::format_ymd(date_utils::add_days(*d, -back));
}

}  // namespace qm::summary
