// --value: the subscription values of Codex, Claude and Cursor, their block on the screen and
// the Cursor account in the document.
#include <algorithm>

#include "adapter/all/quota.h"
#include "adapter/all/subscription.h"
#include "adapter/all/summary.h"
#include "adapter/claude/tier.h"
#include "adapter/cursor/account.h"
#include "render.h"
#include "util.h"

namespace qm::all::summary {
namespace {

using subscription::format_money_short;
using subscription::format_row;
using subscription::ValueReport;
using subscription::ValueRow;
using terminal::color::paint;

std::optional<double> agent_spend(const SummaryTotals& totals, std::string_view agent) {
  for (const auto& a : totals.agents)
    if (a.agent == agent) return a.cost;
  return std::nullopt;
}

std::string fixed(double value, int decimals) { return render::format_fixed(value, decimals); }

void render_row(std::string& out, const ValueRow& row, const std::optional<SummaryPeriod>& period,
                const ConsoleSettings& console) {
  out += "    " + paint(console, row.agent + "  ·  " + subscription::plan_price_label(row.plan), agent_style(row.agent)) +
         "\n";
  const auto& price = row.plan.monthly_price;
  std::optional<quota::WindowProgress> weekly = row.limits ? row.limits->weekly : std::nullopt;
  if (auto value = subscription::project_window_value(weekly)) {
    const auto& p = *weekly;
    const std::string label = subscription::window_label(p.window_minutes);
    const double minutes = static_cast<double>(p.window_minutes);
    out += format_row(label + " limit " + fixed(p.used_percent, 0) + "% used over " + fixed(p.elapsed_minutes / 1440, 1) +
                          "d · resets in " + fixed(std::max(minutes - p.elapsed_minutes, 0.0) / 1440, 1) + "d · " +
                          format_money_short(p.spend) + " API-equiv spent",
                      console);
    out += format_row("→ full " + label + " quota ≈ " + format_money_short(value->full_quota_value) + "  ·  ≈ " +
                          format_money_short(value->monthly_value) + "/mo of API usage",
                      console);
    if (price)
      out += "      " +
             paint(console,
                   "→ quota worth up to " + fixed(value->monthly_value / *price, 0) + "× your $" + fixed(*price, 0) +
                       "/mo plan",
                   Style::Yellow) +
             "\n";
    else
      out += format_row("pass --" + row.agent + "-plan <PRICE> to turn this into a value multiple", console);
    out += format_row("on pace to use ~" + fixed(value->projected_use_percent, 0) + "% of the " + label +
                          " quota by reset",
                      console);
    if (p.used_percent < 3)
      out += format_row("rough estimate — only " + fixed(p.used_percent, 0) + "% of the quota sampled so far", console);
  } else {
    const std::string suffix = period ? " (" + period->from + " → " + period->to + ")" : "";
    const std::string spent = "spent " + format_money_short(row.spend) + " this period" + suffix;
    if (price) {
      out += format_row(spent + " → " + fixed(row.spend / *price, 1) + "× the $" + fixed(*price, 0) + "/mo plan",
                        console);
    } else {
      out += format_row(spent, console);
      out += format_row("pass --" + row.agent + "-plan <PRICE> for a value ratio", console);
    }
    out += format_row(row.live_limits ? "not enough usage in the current limit window to extrapolate yet"
                                      : "no live limits available to extrapolate a weekly quota",
                      console);
  }
  if (row.limits && row.limits->shorter)
    out += format_row(subscription::window_label(row.limits->shorter->window_minutes) + " window: " +
                          fixed(row.limits->shorter->used_percent, 0) + "% used",
                      console);
}

}  // namespace

ValueReport gather_value_report(const std::vector<UsageRow>& rows, const SummaryTotals& totals,
                                const SummaryArgs& args, const cctz::time_zone& zone, const clock::Clock& clock) {
  const bool offline = args.common.offline;
  auto codex = agent_spend(totals, "codex");
  auto claude = agent_spend(totals, "claude");
  auto cursor = agent_spend(totals, "cursor");

  std::optional<quota::LimitState> codex_state, claude_state;
  std::optional<std::string> tier, membership;
  if (codex) codex_state = quota::codex_limit_state(rows, offline, zone, clock);
  if (claude) claude_state = quota::claude_limit_state(rows, offline, zone, clock);
  if (claude && !args.claude_plan) tier = claude::read_rate_limit_tier();
  if (cursor && !args.cursor_plan) membership = cursor::account::read_cursor_auth().membership_type;

  ValueReport report;
  report.period = totals.period;
  if (codex && codex_state)
    report.rows.push_back(
        {"codex", *codex, subscription::resolve_codex_plan(codex_state->plan_type, args.codex_plan), codex_state, true});
  if (claude) {
    bool live = claude_state.has_value();
    report.rows.push_back(
        {"claude", *claude, subscription::resolve_claude_plan(tier, args.claude_plan), std::move(claude_state), live});
  }
  if (cursor) {
    auto plan = parse_cursor_plan(args.cursor_plan);
    if (!plan) plan = parse_cursor_plan(membership);
    report.rows.push_back({"cursor", *cursor, plan.value_or(subscription::SubscriptionPlan{}), std::nullopt, false});
  }
  return report;
}

std::string render_value_block(const ValueReport& report, const ConsoleSettings& console) {
  std::string out = "\n  subscription value";
  if (report.period) out += paint(console, "  ·  " + report.period->from + " → " + report.period->to, Style::Grey);
  out += "\n";
  if (report.rows.empty()) out += paint(console, "    no agent usage to value", Style::Grey) + "\n";
  for (const auto& row : report.rows) render_row(out, row, report.period, console);
  return out;
}

void add_cursor_account(nlohmann::json& document, const CommonOptions& options) {
  if (!options.agents.empty() && !util::slice_contains(options.agents, "cursor")) return;
  if (auto account = cursor::account::load_cursor_account(options.offline))
    document["cursorAccount"] = std::move(*account);
}

}  // namespace qm::all::summary
