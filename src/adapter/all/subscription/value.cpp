// What a subscription's quota is worth at API prices, and its JSON.
#include <algorithm>
#include <cmath>

#include <cctz/civil_time.h>
#include <nlohmann/json.hpp>

#include "adapter/all/subscription.h"
#include "date_utils.h"
#include "output.h"
#include "render.h"

namespace qm::all::subscription {
namespace {

using nlohmann::json;

constexpr double kAverageMonthDays = 30.4375;  // 365.25 / 12
constexpr double kMinutesPerDay = 1'440.0;
constexpr double kMostProjected = 999.0;

// The part of the zone's day holding `ms` that lies after it, as a fraction of that day
// (a day of a clock change is 23 or 25 hours long). The start counts in whole seconds: a
// reset time's fraction of a second does not shave the first day.
double rest_of_day(std::int64_t ms, const cctz::time_zone& zone) {
  using namespace std::chrono;
  auto instant = floor<seconds>(time_point<system_clock, milliseconds>(milliseconds(ms)));
  auto day = cctz::civil_day(cctz::convert(instant, zone));
  auto begin = cctz::convert(cctz::civil_second(day), zone);
  auto end = cctz::convert(cctz::civil_second(day + 1), zone);
  double length = static_cast<double>(duration_cast<milliseconds>(end - begin).count());
  double rest = static_cast<double>(duration_cast<milliseconds>(end - instant).count());
  if (!(length > 0)) return 1.0;
  return std::clamp(rest / length, 0.0, 1.0);
}

json value_row_json(const ValueRow& row) {
  json window = nullptr, estimate = nullptr, shorter = nullptr, credits = nullptr;
  if (row.limits && row.limits->weekly) {
    const auto& p = *row.limits->weekly;
    window = {{"label", window_label(p.window_minutes)},
              {"usedPercent", output::json_number(p.used_percent)},
              {"elapsedMinutes", output::json_number(p.elapsed_minutes)},
              {"apiEquivalentSpent", output::json_number(p.spend)}};
    estimate = estimate_json(p, row.plan);
  }
  if (row.limits && row.limits->shorter)
    shorter = {{"label", window_label(row.limits->shorter->window_minutes)},
               {"usedPercent", output::json_number(row.limits->shorter->used_percent)}};
  if (row.limits && row.limits->reset_credits_available) credits = *row.limits->reset_credits_available;
  return {{"agent", row.agent},
          {"plan", row.plan.label ? json(*row.plan.label) : json(nullptr)},
          {"pricePerMonth", row.plan.monthly_price ? output::json_number(*row.plan.monthly_price) : json(nullptr)},
          {"periodUsage", output::json_number(row.spend)},
          {"liveLimits", row.live_limits},
          {"window", std::move(window)},
          {"estimate", std::move(estimate)},
          {"shortWindow", std::move(shorter)},
          {"resetCreditsAvailable", std::move(credits)}};
}

}  // namespace

const UsageRow* agent_part(const UsageRow& row, std::string_view agent) {
  if (!row.parts) return nullptr;
  for (const auto& part : *row.parts)
    if (part.agent_id == agent) return &part;
  return nullptr;
}

double agent_cost(const UsageRow& row, std::string_view agent) {
  const UsageRow* part = agent_part(row, agent);
  return part ? part->cost : 0.0;
}

json estimate_json(const std::optional<quota::WindowProgress>& progress, const SubscriptionPlan& plan) {
  auto v = project_window_value(progress);
  if (!v) return nullptr;
  return {{"fullQuotaValue", output::json_number(v->full_quota_value)},
          {"monthlyValue", output::json_number(v->monthly_value)},
          {"projectedUsePercent", output::json_number(v->projected_use_percent)},
          {"valueMultiple",
           plan.monthly_price ? output::json_number(v->monthly_value / *plan.monthly_price) : json(nullptr)}};
}

std::optional<SubscriptionValue> project_window_value(const std::optional<quota::WindowProgress>& p) {
  if (!p) return std::nullopt;
  double days = static_cast<double>(p->window_minutes) / kMinutesPerDay;
  if (!(p->used_percent > 0) || !(p->elapsed_minutes > 0) || !(days > 0)) return std::nullopt;
  SubscriptionValue v;
  v.full_quota_value = p->spend / (p->used_percent / 100.0);
  v.monthly_value = kAverageMonthDays / days * v.full_quota_value;
  // A trace of use (1e-320%) scales the spend beyond any number: that says nothing either.
  if (!std::isfinite(v.full_quota_value) || !std::isfinite(v.monthly_value)) return std::nullopt;
  double projected = p->used_percent * static_cast<double>(p->window_minutes) / p->elapsed_minutes;
  v.projected_use_percent = std::isnan(projected) ? kMostProjected : std::min(projected, kMostProjected);
  return v;
}

double cost_since(const std::vector<UsageRow>& rows, std::int64_t start_ms, std::string_view agent,
                  const cctz::time_zone& zone) {
  const std::string first_day = date_utils::format_local_date(start_ms, zone);
  const double rest = rest_of_day(start_ms, zone);
  double spend = 0.0;
  for (const auto& row : rows) {
    if (row.label < first_day) continue;
    double cost = agent_cost(row, agent);
    spend += row.label == first_day ? cost * rest : cost;
  }
  return spend;
}

json subscription_value_json(const ValueReport& report) {
  json agents = json::array();
  for (const auto& row : report.rows) agents.push_back(value_row_json(row));
  json period = nullptr;
  if (report.period) period = {{"from", report.period->from}, {"to", report.period->to}};
  return {{"agents", std::move(agents)}, {"period", std::move(period)}};
}

std::string window_label(std::uint64_t minutes) {
  if (minutes == 1'440) return "daily";
  if (minutes == 10'080) return "weekly";
  if (minutes % 1'440 == 0) return std::to_string(minutes / 1'440) + "d";
  if (minutes % 60 == 0) return std::to_string(minutes / 60) + "h";
  return std::to_string(minutes) + "m";
}

std::string percent_label(double x) {
  if (x > 0 && x < 0.5) return "<1%";
  return render::format_fixed(x, 0) + "%";
}

std::string plan_price_label(const SubscriptionPlan& plan) {
  if (plan.label && plan.monthly_price) return *plan.label + " ($" + render::format_fixed(*plan.monthly_price, 0) + "/mo)";
  if (plan.label) return *plan.label + " (price unknown)";
  if (plan.monthly_price) return "($" + render::format_fixed(*plan.monthly_price, 0) + "/mo)";
  return "plan not detected";
}

std::string format_row(std::string_view text, const ConsoleSettings& console) {
  return "      " + terminal::color::paint(console, text, Style::Grey) + "\n";
}

}  // namespace qm::all::subscription
