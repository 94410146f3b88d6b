// The harness view's text screen and JSON document.
#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "adapter/all/subscription/harness.h"
#include "output.h"
#include "render.h"

namespace qm::all::subscription {
namespace {

using nlohmann::json;
using render::pad_left;
using render::pad_right;
using render::repeat;
using render::widest;
using terminal::color::paint;

constexpr std::size_t kDayBarCells = 24;
constexpr std::size_t kLimitBarCells = 16;
constexpr std::size_t kLimitUsageDays = 14;
constexpr std::size_t kTopModelRows = 6;
constexpr double kMinutesPerDay = 1'440.0;
constexpr double kPaceDays = 0.3;  // earlier than this a projection says nothing

std::string fixed(double value, int decimals) { return render::format_fixed(value, decimals); }

double share(double part, double total) { return total > 0 ? part / total * 100.0 : 0.0; }

double elapsed_percent(const quota::WindowProgress& w) {
  return std::min(w.elapsed_minutes / static_cast<double>(w.window_minutes) * 100.0, 100.0);
}

double api_monthly(const HarnessReport& r) {
  return r.spend_30d + static_cast<double>(r.image_generations) * kImagePriceEstimate;
}

void render_economics(const HarnessReport& r, std::string& out, const ConsoleSettings& c) {
  out += "\n  economics · monthly\n";
  const auto& price = r.plan.monthly_price;
  if (!price) {
    render_spend_line(r, out, c);
    out += format_row("pass --" + r.agent + "-plan <PRICE> to compare with what you pay", c);
    return;
  }
  render_labeled_row(out, "you pay", format_money_short(*price), Style::Grey, std::nullopt, c);
  render_spend_line(r, out, c);
  const double api = api_monthly(r);
  if (!(api > 0)) return;
  std::string subsidy =
      api < *price ? format_money_short(*price - api) + " /mo over — you'd pay less on the API"
                   : "+" + format_money_short(api - *price) + " /mo  ·  " +
                         fixed(std::max(1 - *price / api, 0.0) * 100, 0) + "% off  ·  " + fixed(api / *price, 1) +
                         "× value";
  render_labeled_row(out, "subsidy", subsidy, Style::Yellow, std::nullopt, c);
}

void render_spend_mix(const HarnessReport& r, bool no_cost, std::string& out, const ConsoleSettings& c) {
  auto mix = next_spend_mix_entry(r.spend_mix);
  if (mix.empty()) return;
  const Style style = summary::agent_style(r.agent);
  double total_cost = 0.0, total_tokens = 0.0, largest = 0.0;
  std::vector<std::string> labels, costs, counts;
  for (const auto& e : mix) {
    total_cost += e.cost;
    total_tokens += static_cast<double>(e.tokens);
    labels.push_back(e.label);
    costs.push_back(format_money_short(e.cost));
    counts.push_back(format_compact_count(e.tokens));
  }
  auto value = [&](const SpendMixEntry& e) { return no_cost ? static_cast<double>(e.tokens) : e.cost; };
  for (const auto& e : mix) largest = std::max(largest, value(e));
  const std::size_t lw = widest(labels), cw = widest(costs), tw = widest(counts);

  out += "\n  spend mix · 30d\n";
  for (std::size_t i = 0; i < mix.size(); ++i) {
    const auto& e = mix[i];
    out += "    " + paint(c, pad_right(labels[i], lw), style) + "   ";
    if (!no_cost)
      out += paint(c, pad_left(costs[i], cw), Style::Green) + "  " +
             paint(c, pad_left(percent_label(share(e.cost, total_cost)), 4), Style::Grey) + "  ";
    out += paint(c, pad_left(counts[i], tw) + " tok", Style::Grey) + "  " +
           paint(c, pad_left(percent_label(share(static_cast<double>(e.tokens), total_tokens)), 4), Style::Grey) +
           "  " + limit_bar(value(e), largest, style, c) + "\n";
  }
}

void render_this_week(const HarnessReport& r, std::string& out, const ConsoleSettings& c) {
  out += "\n  this week\n";
  if (!r.weekly) {
    out += format_row(r.live_limits ? "no weekly limit window available yet"
                                    : "no live limits available (offline, or no signed-in token)",
                      c);
    return;
  }
  const auto& w = *r.weekly;
  const double minutes = static_cast<double>(w.window_minutes);
  const double elapsed = elapsed_percent(w);
  out += day_bar("limit used", w.used_percent, summary::agent_style(r.agent), c);
  out += day_bar("time elapsed", elapsed, Style::Blue, c);

  const double d = w.used_percent - elapsed;
  std::string pace = "right on pace";
  Style pace_style = Style::Grey;
  if (d < -1) {
    pace = fixed(-d, 0) + "pt under pace — qilming slower than the clock";
    pace_style = Style::Green;
  } else if (d > 1) {
    pace = fixed(d, 0) + "pt over pace — qilming faster than the clock";
    pace_style = Style::Red;
  }
  out += std::string(21, ' ') + paint(c, "→ " + pace, pace_style) + "\n\n";

  out += format_row("resets in " + fixed(std::max(minutes - w.elapsed_minutes, 0.0) / kMinutesPerDay, 1) + "d · " +
                        format_money_short(w.spend) + " API-equiv spent so far",
                    c);
  const double days = w.elapsed_minutes / kMinutesPerDay;
  if (days >= kPaceDays) {
    std::string quota;
    if (auto v = project_window_value(w)) quota = " · ~" + fixed(v->projected_use_percent, 0) + "% of quota";
    out += format_row("on pace for " + format_money_short(w.spend / days * (minutes / kMinutesPerDay)) + " this week" +
                          quota,
                      c);
  }
}

void render_limit_usage(const HarnessReport& r, std::string& out, const ConsoleSettings& c) {
  const auto& rows = r.limit_usage;
  const std::size_t first = rows.size() > kLimitUsageDays ? rows.size() - kLimitUsageDays : 0;
  double largest = 0.0;
  for (std::size_t i = first; i < rows.size(); ++i) largest = std::max(largest, rows[i].used_percent);
  if (!(largest > 0)) return;
  const Style style = summary::agent_style(r.agent);
  out += "\n  weekly limit used · by day · " + std::to_string(rows.size() - first) + "d\n";
  for (std::size_t i = first; i < rows.size(); ++i) {
    const auto& row = rows[i];
    out += "    " + paint(c, row.date, Style::Grey) + "   " +
           paint(c, pad_left(percent_label(row.used_percent), 4), style) + "   " +
           limit_bar(row.used_percent, largest, style, c);
    if (!row.surfaces.empty())
      out += "  " + paint(c, row.surfaces.front().surface + " " + percent_label(row.surfaces.front().used_percent),
                          Style::Grey);
    out += "\n";
  }
}

void render_top_models(const HarnessReport& r, std::string& out, const ConsoleSettings& c) {
  if (r.top_models.empty()) return;
  const Style style = summary::agent_style(r.agent);
  const std::size_t shown = std::min(r.top_models.size(), kTopModelRows);
  double total = 0.0, largest = 0.0, rest = 0.0;
  for (const auto& m : r.top_models) total += m.cost;
  std::vector<std::string> names, costs, counts, shares;
  for (std::size_t i = 0; i < shown; ++i) {
    const auto& m = r.top_models[i];
    largest = std::max(largest, m.cost);
    names.push_back(m.model);
    costs.push_back(format_money_short(m.cost));
    counts.push_back(format_compact_count(m.tokens));
    shares.push_back(percent_label(share(m.cost, total)));
  }
  const std::size_t nw = widest(names), cw = widest(costs), tw = widest(counts);
  out += "\n  top models · 30d\n";
  for (std::size_t i = 0; i < shown; ++i)
    out += "    " + paint(c, pad_right(names[i], nw), style) + "   " + paint(c, pad_left(costs[i], cw), Style::Green) +
           "  " + paint(c, pad_left(counts[i], tw) + " tok", Style::Grey) + "  " +
           paint(c, pad_left(shares[i], 4), Style::Grey) + "  " + limit_bar(r.top_models[i].cost, largest, style, c) +
           "\n";
  if (r.top_models.size() > shown) {
    for (std::size_t i = shown; i < r.top_models.size(); ++i) rest += r.top_models[i].cost;
    out += format_row("… +" + std::to_string(r.top_models.size() - shown) + " more models · " + format_money_short(rest),
                      c);
  }
}

json day_costs_json(const std::vector<DayCost>& days, const char* label_key) {
  json out = json::array();
  for (const auto& d : days) out.push_back({{label_key, d.label}, {"cost", output::json_number(d.cost)}});
  return out;
}

json limit_usage_json(const std::vector<codex::live_usage::CodexDailyBreakdownRow>& rows) {
  json out = json::array();
  for (const auto& row : rows) {
    json surfaces = json::array(), models = json::array();
    for (const auto& s : row.surfaces)
      surfaces.push_back({{"surface", s.surface}, {"usedPercent", output::json_number(s.used_percent)}});
    for (const auto& m : row.models)
      models.push_back({{"model", m.model},
                        {"speed", m.speed ? json(*m.speed) : json(nullptr)},
                        {"usedPercent", output::json_number(m.used_percent)}});
    out.push_back({{"date", row.date},
                   {"usedPercent", output::json_number(row.used_percent)},
                   {"surfaces", std::move(surfaces)},
                   {"models", std::move(models)}});
  }
  return out;
}

json spend_mix_json(const std::vector<SpendMixEntry>& entries) {
  auto mix = next_spend_mix_entry(entries);
  double total_cost = 0.0, total_tokens = 0.0;
  for (const auto& e : mix) {
    total_cost += e.cost;
    total_tokens += static_cast<double>(e.tokens);
  }
  json out = json::array();
  for (const auto& e : mix)
    out.push_back({{"key", e.key},
                   {"label", e.label},
                   {"tokens", e.tokens},
                   {"tokenPercent", output::json_number(share(static_cast<double>(e.tokens), total_tokens))},
                   {"costUSD", output::json_number(e.cost)},
                   {"costPercent", output::json_number(share(e.cost, total_cost))}});
  return out;
}

}  // namespace

std::string day_bar(std::string_view label, double percent, Style style, const ConsoleSettings& c) {
  const std::size_t filled = render::cells(percent / 100.0, kDayBarCells);
  return "    " + pad_right(label, 12) + " " + pad_left(fixed(percent, 0), 3) + "%  " +
         paint(c, repeat("█", filled), style) + paint(c, repeat("░", kDayBarCells - filled), Style::Grey) + "\n";
}

std::string limit_bar(double value, double maximum, Style style, const ConsoleSettings& c) {
  const std::size_t filled = render::bar_cells(value, maximum, kLimitBarCells);
  return paint(c, repeat("█", filled), style) + paint(c, repeat("░", kLimitBarCells - filled), Style::Grey);
}

void render_labeled_row(std::string& out, std::string_view label, std::string_view value, Style style,
                        const std::optional<std::string>& suffix, const ConsoleSettings& c) {
  out += "    " + pad_right(label, 14) + " " + paint(c, value, style);
  if (suffix) out += "   " + paint(c, *suffix, Style::Grey);
  out += "\n";
}

void render_spend_line(const HarnessReport& r, std::string& out, const ConsoleSettings& c) {
  const Style style = summary::agent_style(r.agent);
  render_labeled_row(out, "api-equivalent", format_money_short(r.spend_30d), style,
                     "token usage at pay-as-you-go prices · last 30d", c);
  if (r.image_generations != 0)
    render_labeled_row(out, "+ images",
                       format_money_short(static_cast<double>(r.image_generations) * kImagePriceEstimate), style,
                       std::to_string(r.image_generations) + " gpt-image gens · est. $" + fixed(kImagePriceEstimate, 2) +
                           "/img, not in token cost",
                       c);
}

void render_usage_chart(std::string& out, const std::vector<DayCost>& entries, Style style, const ConsoleSettings& c) {
  std::vector<std::string> costs;
  double largest = 0.0;
  for (const auto& e : entries) {
    costs.push_back(format_money_short(e.cost));
    largest = std::max(largest, e.cost);
  }
  const std::size_t cw = widest(costs);
  for (std::size_t i = 0; i < entries.size(); ++i)
    out += "    " + paint(c, entries[i].label, Style::Grey) + "   " + paint(c, pad_left(costs[i], cw), Style::Green) +
           "   " + limit_bar(entries[i].cost, largest, style, c) + "\n";
}

std::string render_harness_screen(const HarnessReport& r, bool no_cost, const ConsoleSettings& c) {
  const Style style = summary::agent_style(r.agent);
  std::string out = "  " + paint(c, plan_price_label(r.plan), style) + "\n";
  render_economics(r, out, c);
  render_spend_mix(r, no_cost, out, c);
  render_this_week(r, out, c);
  if (!r.days.empty()) {
    out += "\n  day by day\n";
    render_usage_chart(out, r.days, style, c);
  }
  render_limit_usage(r, out, c);
  render_top_models(r, out, c);
  if (r.weekly_trend.size() >= 2) {
    out += "\n  weekly trend · " + std::to_string(r.weekly_trend.size()) + " wks\n";
    render_usage_chart(out, r.weekly_trend, style, c);
  }
  return out;
}

json harness_json(const HarnessReport& r) {
  const auto& price = r.plan.monthly_price;
  const double images = static_cast<double>(r.image_generations) * kImagePriceEstimate;
  json economics = nullptr, window = nullptr, models = json::array();
  if (price && r.spend_30d > 0)
    economics = {{"pricePerMonth", output::json_number(*price)},
                 {"apiEquivalentPerMonth", output::json_number(r.spend_30d)},
                 {"subsidyPerMonth", output::json_number(r.spend_30d - *price)},
                 {"valueMultiple", output::json_number(r.spend_30d / *price)},
                 {"discountPercent", output::json_number(std::max(1 - *price / r.spend_30d, 0.0) * 100)}};
  if (r.weekly)
    window = {{"windowMinutes", r.weekly->window_minutes},
              {"usedPercent", output::json_number(r.weekly->used_percent)},
              {"elapsedPercent", output::json_number(elapsed_percent(*r.weekly))},
              {"apiEquivalentSpent", output::json_number(r.weekly->spend)}};
  for (std::size_t i = 0; i < std::min(r.top_models.size(), kTopModelRows); ++i)
    models.push_back({{"model", r.top_models[i].model},
                      {"cost", output::json_number(r.top_models[i].cost)},
                      {"tokens", r.top_models[i].tokens}});
  return {{"agent", r.agent},
          {"plan", r.plan.label ? json(*r.plan.label) : json(nullptr)},
          {"pricePerMonth", price ? output::json_number(*price) : json(nullptr)},
          {"apiEquivalentPerMonth", output::json_number(r.spend_30d)},
          {"imageGenerations",
           {{"count", r.image_generations},
            {"pricePerImageEstimate", output::json_number(kImagePriceEstimate)},
            {"estimatedCost", output::json_number(images)}}},
          {"economics", std::move(economics)},
          {"liveLimits", r.live_limits},
          {"resetCreditsAvailable", r.reset_credits_available ? json(*r.reset_credits_available) : json(nullptr)},
          {"limitUsageDaily", limit_usage_json(r.limit_usage)},
          {"window", std::move(window)},
          {"estimate", estimate_json(r.weekly, r.plan)},
          {"daily", day_costs_json(r.days, "date")},
          {"topModels", std::move(models)},
          {"spendMix", spend_mix_json(r.spend_mix)},
          {"weeklyTrend", day_costs_json(r.weekly_trend, "weekStart")}};
}

}  // namespace qm::all::subscription
