#include "adapter/all/subscription.h"

#include <algorithm>
#include <cstdio>

#include "render.h"
#include "sort.h"

namespace qm::all::subscription {
namespace {

std::string one_decimal(double value, const char* suffix) { return render::format_fixed(value, 1) + suffix; }

}  // namespace

std::string format_compact_count(std::uint64_t n) {
  auto d = static_cast<double>(n);
  if (n > 999'999'999'999ULL) return one_decimal(d / 1e12, "T");
  if (n > 999'999'999ULL) return one_decimal(d / 1e9, "B");
  if (n > 999'999ULL) return one_decimal(d / 1e6, "M");
  if (n > 999ULL) return one_decimal(d / 1e3, "K");
  return std::to_string(n);
}

std::string format_money_short(double x) {
  if (x >= 1'000'000.0) return "$" + one_decimal(x / 1'000'000.0, "M");
  if (x >= 1'000.0) return "$" + one_decimal(x / 1'000.0, "k");
  return render::format_usd(x);
}

std::vector<summary::ModelTotal> top_models(const std::vector<UsageRow>& rows) {
  std::vector<summary::ModelTotal> models;
  std::unordered_map<std::string, std::size_t> index;
  for (const auto& row : rows)
    for (const auto& m : row.model_usages) summary::add_model_totals(models, index, m);
  // The map's order is no order: equal costs (several free models) go by tokens, then name.
  std::sort(models.begin(), models.end(), [](const auto& a, const auto& b) {
    if (int c = sort::total_order_compare(a.cost, b.cost); c != 0) return c > 0;
    if (a.tokens != b.tokens) return a.tokens > b.tokens;
    return a.name < b.name;
  });
  return models;
}

}  // namespace qm::all::subscription
