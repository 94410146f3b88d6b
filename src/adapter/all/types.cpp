#include "adapter/all/types.h"

#include "util.h"

#include <fmt/core.h>

#include <algorithm>
#include <limits>

namespace qm {

void UnreadFiles::add(std::string_view path, std::string_view reason) {
  if (count++ > 0) return;
  first_path = std::string(path);
  first_reason = std::string(reason);
}

void UnreadFiles::add(const UnreadFiles& other) {
  if (other.count == 0) return;
  if (count == 0) {
    first_path = other.first_path;
    first_reason = other.first_reason;
  }
  count += other.count;
}

std::uint64_t TokenUsageRaw::effective_cache_creation() const {
  return cache_creation_split ? util::saturating_add(cache_creation_split->ephemeral_5m, cache_creation_split->ephemeral_1h)
                              : cache_creation;
}

}  // namespace qm

namespace qm::all::types {

void add_token_totals(TokenTotals& totals, const TokenUsageRaw& block) {
  totals.input = util::saturating_add(totals.input, block.input);
  totals.output = util::saturating_add(totals.output, block.output);
  totals.cache_creation = util::saturating_add(totals.cache_creation, block.effective_cache_creation());
  totals.cache_read = util::saturating_add(totals.cache_read, block.cache_read);
}

void add_model_tokens(ModelUsage& into, const TokenUsageRaw& block, std::uint64_t reasoning) {
  into.input = util::saturating_add(into.input, block.input);
  into.output = util::saturating_add(into.output, block.output);
  into.cache_creation = util::saturating_add(into.cache_creation, block.effective_cache_creation());
  into.cache_read = util::saturating_add(into.cache_read, block.cache_read);
  into.reasoning = util::saturating_add(into.reasoning, reasoning);
}

namespace {
template <typename Counts>
void add_four_counts(Counts& into, const Counts& from) {
  into.input = util::saturating_add(into.input, from.input);
  into.output = util::saturating_add(into.output, from.output);
  into.cache_creation = util::saturating_add(into.cache_creation, from.cache_creation);
  into.cache_read = util::saturating_add(into.cache_read, from.cache_read);
}
}  // namespace

void add_model_usage(ModelUsage& into, const ModelUsage& from) {
  add_four_counts(into, from);
  into.reasoning = util::saturating_add(into.reasoning, from.reasoning);
  into.cost += from.cost;
  into.unpriced = into.unpriced || from.unpriced;
}

void add_row_usage(UsageRow& into, const UsageRow& from) {
  add_four_counts(into, from);
  into.total = util::saturating_add(into.total, from.total);
  into.cost += from.cost;
}

Reconciled reconcile_token_total(const TokenUsageRaw& block, std::uint64_t extra, std::uint64_t reported_total) {
  std::uint64_t parts = util::saturating_add(
      util::saturating_add(util::saturating_add(block.effective_cache_creation(), block.input), block.output), block.cache_read);
  std::uint64_t sum = util::saturating_add(parts, extra);
  Reconciled out{block, extra};
  if (sum >= reported_total) return out;
  std::uint64_t shortfall = reported_total - sum;
  if (block.output != 0)
    out.extra = util::saturating_add(extra, shortfall);
  else
    out.block.output = shortfall;
  return out;
}

std::pair<std::uint64_t, std::uint64_t> split_cached_input(std::uint64_t input, std::uint64_t cached,
                                                           std::optional<std::uint64_t> total, std::uint64_t other) {
  if (total && *total == util::saturating_add(input, other)) return {input - std::min(cached, input), cached};
  return {input, cached};
}

std::string unread_files_warning(std::string_view display_name, const UnreadFiles& unread) {
  if (unread.empty()) return {};
  if (unread.count == 1)
    return fmt::format("WARN  Could not read 1 {} file; its usage is not counted: {}: {}\n", display_name,
                       unread.first_path, unread.first_reason);
  return fmt::format("WARN  Could not read {} {} files; their usage is not counted. First: {}: {}\n", unread.count,
                     display_name, unread.first_path, unread.first_reason);
}

}  // namespace qm::all::types
