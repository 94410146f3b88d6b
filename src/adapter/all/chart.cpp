#include "adapter/all/chart.h"

#include <algorithm>
#include <cmath>

#include "adapter/all/subscription.h"
#include "adapter/all/summary.h"
#include "render.h"

namespace qm::all::chart {
namespace {

using render::repeat;
using terminal::color::paint;

constexpr std::size_t kTopModels = 5;
constexpr Style kColumnStyles[kTopModels] = {Style::Green, Style::Magenta, Style::Blue, Style::Yellow, Style::Cyan};

struct Column {
  std::string name;  // shown in the legend
  Style style;
};

struct ChartDay {
  std::string_view label;
  std::vector<double> costs;  // one per column
  double total = 0.0;
};

// The latest dates, whatever order the rows come in; drawn in the run's order.
std::vector<const UsageRow*> latest_rows(const std::vector<UsageRow>& rows, SortOrder order) {
  std::vector<const UsageRow*> picked;
  for (const auto& r : rows) picked.push_back(&r);
  std::stable_sort(picked.begin(), picked.end(), [](const UsageRow* a, const UsageRow* b) { return a->label < b->label; });
  if (picked.size() > kChartDays) picked.erase(picked.begin(), picked.end() - kChartDays);
  if (order == SortOrder::Desc) std::reverse(picked.begin(), picked.end());
  return picked;
}

std::string day_bar(const ChartDay& day, double maximum, const std::vector<Column>& columns, const ConsoleSettings& c) {
  std::size_t filled = render::bar_cells(day.total, maximum, kBarCells);
  std::string out;
  std::size_t used = 0;
  if (filled > 0) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (day.costs[i] > 0) last = i;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      double v = day.costs[i];
      if (!(v > 0)) continue;
      // The last share takes what is left, so rounding never leaves a gap or overflows.
      std::size_t k = i == last ? filled - used : std::min(render::cells(v / day.total, filled), filled - used);
      if (k == 0) continue;
      out += paint(c, repeat("█", k), columns[i].style);
      used += k;
    }
  }
  return out + paint(c, repeat("░", kBarCells - used), Style::Grey);
}

}  // namespace

std::string render_daily_chart(const std::vector<UsageRow>& rows, SortOrder order, const ConsoleSettings& c) {
  auto picked = latest_rows(rows, order);
  if (picked.empty()) return {};

  auto models = subscription::top_models(rows);
  std::size_t top = std::min(models.size(), kTopModels);
  std::vector<Column> columns;
  std::unordered_map<std::string_view, std::size_t> column_of;
  for (std::size_t i = 0; i < top; ++i) {
    columns.push_back({summary::model_display_name(models[i].name), kColumnStyles[i]});
    column_of.emplace(models[i].name, i);
  }
  const bool has_other = models.size() > top || columns.empty();
  if (has_other) columns.push_back({"other", Style::Grey});

  std::vector<ChartDay> days;
  double maximum = 0;
  std::size_t money_width = 0;
  for (const UsageRow* row : picked) {
    ChartDay day{row->label, std::vector<double>(columns.size(), 0.0), 0.0};
    for (const auto& m : row->model_usages) {
      auto it = column_of.find(m.model);
      day.costs[it != column_of.end() ? it->second : columns.size() - 1] += m.cost;
    }
    for (double v : day.costs) day.total += v;
    if (day.total > maximum) maximum = day.total;
    money_width = std::max(money_width, render::format_usd(day.total).size());
    days.push_back(std::move(day));
  }

  std::string out = "\n  daily cost by model · last " + std::to_string(days.size()) + "d\n  ";
  for (const auto& col : columns) out += paint(c, "█ ", col.style) + paint(c, col.name + "  ", Style::Grey);
  out += "\n";
  for (const auto& day : days) {
    out += "    " + paint(c, day.label, Style::Grey) + "  " + day_bar(day, maximum, columns, c) + "  " +
           paint(c, render::pad_left(render::format_usd(day.total), money_width), Style::Green) + "\n";
  }
  return out;
}

}  // namespace qm::all::chart
