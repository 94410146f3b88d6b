// The summary runner: range words, loading, then exactly one kind of output.
#include <cstdio>
#include <cstdlib>

#include "adapter/all/chart.h"
#include "adapter/all/loader.h"
#include "adapter/all/quota.h"
#include "adapter/all/subscription.h"
#include "adapter/all/subscription/harness.h"
#include "adapter/all/summary.h"
#include "adapter/all/summary/report.h"
#include "adapter/all/summary/value.h"
#include "output.h"
#include "render.h"
#include "parallel.h"

namespace qm::all::summary {

std::string format_date_arg(const date_utils::CivilDate& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", d.year, d.month, d.day);
  return buf;
}

void apply_range(SummaryRange range, const date_utils::CivilDate& today, CommonOptions& o) {
  using date_utils::add_days;
  switch (range) {
    case SummaryRange::Today: o.since = format_date_arg(today); break;
    case SummaryRange::Yesterday: {
      auto y = format_date_arg(add_days(today, -1));
      o.since = y;
      o.until = y;
      break;
    }
    case SummaryRange::Wtd: {
      int w = date_utils::weekday(today);
      o.since = format_date_arg(add_days(today, w == 0 ? -6 : -(w - 1)));
      break;
    }
    case SummaryRange::Mtd: o.since = format_date_arg({today.year, today.month, 1}); break;
    case SummaryRange::Ytd: o.since = format_date_arg({today.year, 1, 1}); break;
    case SummaryRange::Week: o.since = format_date_arg(add_days(today, -6)); break;
    case SummaryRange::Month: o.since = format_date_arg(add_days(today, -29)); break;
  }
}

std::expected<void, std::string> run_summary(const SummaryArgs& args) {
  CommonOptions options = args.common;
  const bool json_out = options.json || options.jq.has_value();

  if (args.harness_agent)
    return subscription::run_harness(*args.harness_agent, options, args.codex_plan, args.claude_plan);

  if (json_out && quota::quota_only_requested()) {
    auto window = quota::collect_live_quota("cursor", options.offline);
    nlohmann::json reading = window ? quota::quota_window_json(*window)
                                    : nlohmann::json{{"agent", "cursor"}, {"observedAt", date_utils::now_ms()}};
    return output::emit_json(std::move(reading), options.jq, false);
  }

  const auto zone = date_utils::report_zone(options.timezone);
  if (args.range) {
    auto today_text = date_utils::format_local_date(date_utils::now_ms(), zone);
    if (auto today = date_utils::parse_ymd(today_text)) apply_range(*args.range, *today, options);
  }

  auto loaded = loader::load_agents(options);
  if (!loaded) return std::unexpected(loaded.error());
  SummaryTotals totals = build_summary_totals(loaded->rows);
  std::optional<ValueGathering> value;
  if (args.value) value = gather_value(loaded->rows, totals, args, zone, json_out);

  if (json_out) {
    const std::size_t workers = options.single_thread ? 1 : parallel::worker_budget();
    auto document = summary_document(loaded->rows, totals, workers);
    if (value) add_value_members(document, *value);
    // The rows are let go while the document is written, rather than after.
    std::expected<void, std::string> written;
    parallel::run_tasks(2, workers, [&](std::size_t i) {
      if (i == 0) {
        written = output::emit_json(std::move(document), options.jq, options.no_cost);
        return;
      }
      value.reset();
      totals = SummaryTotals{};
      *loaded = loader::LoadedUsage{};
    });
    return written;
  }

  // Each piece is written and checked in turn: a screen that did not reach its reader fails
  // the run, as the document does.
  auto console = render::console_settings(options.color, options.no_color);
  std::string screen = render::heading_box(heading_text(loaded->detected), options.color, options.no_color);
  auto tables = render_tables(totals, options.no_cost, console);
  if (tables) screen += *tables;
  if (auto r = output::print(screen); !r) return r;
  if (!tables) std::fputs("No usage data found.\n", stderr);
  if (value)
    if (auto r = output::print(render_value_block(value->report, console)); !r) return r;
  if (args.chart)
    if (auto r = output::print(chart::render_daily_chart(loaded->rows, options.order, console)); !r) return r;
  if (args.html) {
    std::optional<nlohmann::json> subscription;
    if (value) subscription = subscription::subscription_value_json(value->report);
    return html_report({loaded->rows, totals, date_utils::now_ms(), std::move(subscription)});
  }
  return {};
}

}  // namespace qm::all::summary
