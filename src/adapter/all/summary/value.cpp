// --value: the subscription values of Codex, Claude and Cursor, their block on the screen and
// their members in the document.
#include "adapter/all/summary/value.h"

#include <algorithm>
#include <functional>

#include "adapter/all/quota.h"
#include "adapter/claude/tier.h"
#include "adapter/cursor/account.h"
#include "parallel.h"
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
    if (a.name == agent) return a.cost;
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

ValueGathering gather_value(const std::vector<UsageRow>& rows, const SummaryTotals& totals, const SummaryArgs& args,
                            const cctz::time_zone& zone, bool document, const clock::Clock& clock) {
  const CommonOptions& o = args.common;
  const auto codex = agent_spend(totals, "codex"), claude = agent_spend(totals, "claude"),
             cursor = agent_spend(totals, "cursor");
  auto named = [&](std::string_view agent) { return o.agents.empty() || util::slice_contains(o.agents, agent); };

  ValueGathering value;
  std::optional<quota::LimitState> codex_state;
  std::optional<std::string> tier, membership;
  // Each reading waits on its own service, so they run side by side.
  std::vector<std::function<void()>> readings;
  if (codex) readings.emplace_back([&] { codex_state = quota::codex_limit_state(rows, o.offline, zone, clock); });
  if (claude || (document && named("claude")))
    readings.emplace_back([&] {
      value.claude = claude::limits::load_usage_limits(o.offline, claude::limits::kSummaryMaxAgeMs, clock);
      if (claude && !args.claude_plan) tier = claude::read_rate_limit_tier();
    });
  if ((cursor && !args.cursor_plan) || (document && named("cursor")))
    readings.emplace_back([&] {
      if (cursor && !args.cursor_plan) membership = cursor::account::read_cursor_auth().membership_type;
      if (document && named("cursor")) value.cursor_account = cursor::account::load_cursor_account(o.offline);
    });
  parallel::run_tasks(readings.size(), readings.size(), [&](std::size_t i) { readings[i](); });

  ValueReport& report = value.report;
  report.period = totals.period;
  if (codex && codex_state)
    report.rows.push_back(
        {"codex", *codex, subscription::resolve_codex_plan(codex_state->plan_type, args.codex_plan), codex_state, true});
  if (claude) {
    auto state = quota::claude_state_from_reading(*value.claude, rows, clock.now_ms(), zone);
    bool live = state.has_value();
    report.rows.push_back(
        {"claude", *claude, subscription::resolve_claude_plan(tier, args.claude_plan), std::move(state), live});
  }
  if (cursor) {
    auto plan = parse_cursor_plan(args.cursor_plan);
    if (!plan) plan = parse_cursor_plan(membership);
    report.rows.push_back({"cursor", *cursor, plan.value_or(subscription::SubscriptionPlan{}), std::nullopt, false});
  }
  if (!document) value.claude.reset();  // read for the limit state only
  return value;
}

std::string render_value_block(const ValueReport& report, const ConsoleSettings& console) {
  std::string out = "\n  subscription value";
  if (report.period) out += paint(console, "  ·  " + report.period->from + " → " + report.period->to, Style::Grey);
  out += "\n";
  if (report.rows.empty()) out += paint(console, "    no agent usage to value", Style::Grey) + "\n";
  for (const auto& row : report.rows) render_row(out, row, report.period, console);
  return out;
}

void add_value_members(nlohmann::json& document, const ValueGathering& value) {
  if (value.cursor_account) document["cursorAccount"] = *value.cursor_account;
  if (value.claude) add_claude_account(document, *value.claude);
  document["subscription"] = subscription::subscription_value_json(value.report);
}

}  // namespace qm::all::summary
