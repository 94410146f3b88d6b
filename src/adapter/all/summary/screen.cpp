// The summary's text screen: totals, days, agents and models.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "adapter/all/registry.h"
#include "adapter/all/subscription.h"
#include "adapter/all/summary.h"
#include "render.h"
#include "sort.h"
#include "util.h"

namespace qm::all::summary {
namespace {

using render::repeat;
using render::widest;
using terminal::color::paint;

std::string percent_text(double pct) { return render::format_fixed(pct, 1) + "%"; }

double share(double value, double grand) { return grand > 0 ? value / grand * 100.0 : 0.0; }

}  // namespace

std::string indent_line(std::string_view title) { return "  " + std::string(title) + "\n"; }

std::string short_day_label(std::string_view date) {
  auto d = date_utils::parse_ymd(date);
  if (!d) return std::string(date);
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s %s %02u", kDays[date_utils::weekday(*d)], kMonths[d->month - 1], d->day);
  return buf;
}

std::string model_display_name(std::string_view name) {
  if (name.starts_with("anthropic/claude-")) name.remove_prefix(17);
  else if (name.starts_with("claude-")) name.remove_prefix(7);
  auto last_dash = name.rfind('-');
  if (last_dash == std::string_view::npos || name.find('-') == last_dash) return std::string(name);
  std::string_view last = name.substr(last_dash + 1);
  // Characters, not bytes: UTF-8 continuation bytes do not count.
  auto chars = std::count_if(last.begin(), last.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
  return std::string(chars == 8 ? name.substr(0, last_dash) : name);
}

std::string format_cost_cell(double amount, std::size_t width, Style style, const ConsoleSettings& console) {
  return paint(console, render::pad_left(render::format_usd(amount), width), style);
}

std::string format_token_count(std::uint64_t count, std::size_t width, const ConsoleSettings& console) {
  return paint(console, render::pad_left(subscription::format_compact_count(count), width), Style::Grey) + " " +
         paint(console, "tokens", Style::Grey);
}

std::string render_bar(Style style, double value, double maximum, const ConsoleSettings& console) {
  std::size_t filled = render::bar_cells(value, maximum, 16);
  return paint(console, repeat("━", filled), style) + paint(console, repeat("─", 16 - filled), Style::Grey);
}

Style agent_style(std::string_view agent) {
  if (agent == "claude") return Style::Magenta;
  if (agent == "codex") return Style::Green;
  if (agent == "cursor") return Style::Red;
  if (agent == "gemini") return Style::Blue;
  if (agent == "droid") return Style::Yellow;
  return Style::Cyan;
}

Style model_style(std::string_view model) {
  std::string m = util::ascii_lower(model);
  auto has = [&](const char* w) { return m.find(w) != std::string::npos; };
  if (has("claude") || has("anthropic")) return Style::Magenta;
  if (has("gpt") || has("codex") || has("openai")) return Style::Green;
  if (has("gemini")) return Style::Blue;
  if (has("droid")) return Style::Yellow;
  if (has("cursor") || has("composer")) return Style::Red;
  if (has("grok")) return Style::Red;
  return Style::Cyan;
}

std::string heading_text(const std::vector<std::string>& detected) {
  std::set<std::string> names;
  for (const auto& id : detected) names.insert(std::string(registry::agent_display_name(id)));
  std::string list;
  for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
  return "Coding (Agent) CLI Usage Summary\nDetected: " + (list.empty() ? std::string("None") : list);
}

std::optional<std::string> render_tables(const SummaryTotals& t, bool no_cost, const ConsoleSettings& c) {
  if (t.agents.empty() && t.models.empty()) return std::nullopt;
  auto value_of = [&](double cost, std::uint64_t tokens) { return no_cost ? static_cast<double>(tokens) : cost; };
  const double grand = value_of(t.total_cost, t.total_tokens);

  std::string out = indent_line("total") + "    ";
  if (!no_cost) out += format_cost_cell(t.total_cost, 0, Style::Yellow, c) + "   ";
  out += format_token_count(t.total_tokens, 0, c) + "\n";

  if (!t.daily.empty()) {
    std::vector<std::string> labels, costs, counts, pcts;
    double top = 0;
    for (const auto& d : t.daily) {
      labels.push_back(short_day_label(d.name));
      costs.push_back(render::format_usd(d.cost));
      counts.push_back(subscription::format_compact_count(d.tokens));
      pcts.push_back(percent_text(share(value_of(d.cost, d.tokens), grand)));
      top = std::max(top, value_of(d.cost, d.tokens));
    }
    std::size_t lw = widest(labels), cw = widest(costs), tw = widest(counts), pw = widest(pcts);
    out += "\n" + indent_line("days");
    for (std::size_t i = 0; i < t.daily.size(); ++i) {
      const auto& d = t.daily[i];
      out += "    " + paint(c, render::pad_right(labels[i], lw), Style::Cyan) + "   ";
      if (!no_cost) out += format_cost_cell(d.cost, cw, Style::Yellow, c) + "   ";
      out += format_token_count(d.tokens, tw, c) + "  " + paint(c, render::pad_left(pcts[i], pw), Style::Grey) + "  " +
             render_bar(Style::Cyan, value_of(d.cost, d.tokens), top, c) + "\n";
    }
  }

  if (!t.agents.empty()) {
    std::vector<std::string> names, costs, counts;
    for (const auto& a : t.agents) {
      names.emplace_back(registry::agent_display_name(a.name));
      costs.push_back(render::format_usd(a.cost));
      counts.push_back(subscription::format_compact_count(a.tokens));
    }
    std::size_t nw = widest(names), cw = widest(costs), tw = widest(counts);
    out += "\n" + indent_line("agents");
    for (std::size_t i = 0; i < t.agents.size(); ++i) {
      const auto& a = t.agents[i];
      Style st = agent_style(a.name);
      out += "    " + paint(c, render::pad_right(names[i], nw), st) + "   ";
      if (!no_cost) out += format_cost_cell(a.cost, cw, st, c) + "   ";
      out += format_token_count(a.tokens, tw, c) + "\n";
    }
  }

  if (!t.models.empty()) {
    std::vector<ModelTotal> models = t.models;
    std::stable_sort(models.begin(), models.end(), [&](const ModelTotal& a, const ModelTotal& b) {
      int v = sort::total_order_compare(value_of(a.cost, a.tokens), value_of(b.cost, b.tokens));
      if (v != 0) return v > 0;
      return sort::total_order_compare(a.cost, b.cost) > 0;
    });
    std::size_t shown = std::min<std::size_t>(models.size(), 10);
    std::vector<std::string> names, values, pcts;
    for (std::size_t i = 0; i < shown; ++i) {
      names.push_back(models[i].name);
      values.push_back(no_cost ? subscription::format_compact_count(models[i].tokens)
                               : render::format_usd(models[i].cost));
      pcts.push_back(percent_text(share(value_of(models[i].cost, models[i].tokens), grand)));
    }
    std::size_t nw = widest(names), vw = widest(values), pw = widest(pcts);
    double first = value_of(models[0].cost, models[0].tokens);
    out += "\n" + indent_line("models");
    for (std::size_t i = 0; i < shown; ++i) {
      const auto& m = models[i];
      Style st = model_style(m.name);
      out += "    " + paint(c, render::pad_right(m.name, nw), st) + "   ";
      out += no_cost ? format_token_count(m.tokens, vw, c) : format_cost_cell(m.cost, vw, Style::Green, c);
      out += "  " + paint(c, render::pad_left(pcts[i], pw), Style::Grey) + "  " +
             render_bar(st, value_of(m.cost, m.tokens), first, c) + "\n";
    }
    if (models.size() > shown) {
      double rest_cost = 0;
      std::uint64_t rest_tokens = 0;
      for (std::size_t i = shown; i < models.size(); ++i) {
        rest_cost += models[i].cost;
        rest_tokens = util::saturating_add(rest_tokens, models[i].tokens);
      }
      std::string rest = no_cost ? subscription::format_compact_count(rest_tokens) + " tokens"
                                 : render::format_usd(rest_cost);
      out += paint(c, "    … +" + std::to_string(models.size() - shown) + " more models   " + rest, Style::Grey) + "\n";
    }
  }
  return out;
}

}  // namespace qm::all::summary
