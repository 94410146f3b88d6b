#include "adapter/cursor/reader.h"

#include <cmath>
#include <cstdio>

#include <fmt/core.h>

#include "adapter/cursor/account.h"
#include "adapter/cursor/aggregation_row.h"
#include "log.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/values.h"
#include "util.h"

namespace qm::cursor::loader {
namespace {

using date_utils::CivilDate;

// Cut off one after the other, each at most once, in this order.
constexpr std::string_view kModelSuffixes[] = {
    "-xhigh-fast",      "-high-fast",       "-medium-fast",   "-low-fast",     "-thinking-high", "-thinking-medium",
    "-thinking-low",    "-medium-thinking", "-high-thinking", "-low-thinking", "-thinking",      "-xhigh",
    "-high",            "-medium",          "-fast",          "-low",
};

// Failed days in a row, before any usage came back, after which the service counts as down.
constexpr unsigned kFailuresBeforeGivingUp = 3;

struct Dashboard {
  http::Client client = account::new_dashboard_agent();
  std::string token;
  json::StrictParser parser;

  // `body` as compact JSON text.
  std::optional<json::element> call(std::string_view method, std::string body) {
    return account::call_dashboard_text(client, method, token, std::move(body), parser);
  }
};

// The since date, else the first day of the billing cycle, else 30 days before today.
CivilDate first_day(Dashboard& dashboard, const all::loader::LoadOptions& options, const CivilDate& today) {
  if (auto since = parse_compact_date(options.common.since)) return *since;
  auto reply = dashboard.call("GetCurrentPeriodUsage", "{}");
  // A start at or before the epoch is no start: it would ask for every day since 1970.
  if (auto start = account::positive_integer(reader::at(reply, "billingCycleStart")))
    return date_utils::local_civil_date(*start, options.zone);
  return date_utils::add_days(today, -30);
}

void warn(const std::string& line) { std::fputs(line.c_str(), stderr); }

// Asks for every day from `first` to `last`. Three failures before any usage end the loop;
// otherwise a failed day is left out, and how many were is said once at the end.
std::vector<CursorUsageEvent> fetch_days(Dashboard& dashboard, const CivilDate& first, const CivilDate& last,
                                         const all::loader::LoadOptions& options) {
  std::vector<CursorUsageEvent> events;
  unsigned failures_in_a_row = 0;
  std::size_t asked = 0, failed = 0;
  for (std::int64_t day = date_utils::days_from_civil(first); day <= date_utils::days_from_civil(last); ++day) {
    const CivilDate date = date_utils::civil_from_days(day);
    const auto start = date_utils::local_midnight_ms(date, options.zone);
    const auto end = date_utils::local_midnight_ms(date_utils::civil_from_days(day + 1), options.zone);
    if (!start || !end) break;
    const std::string label = date_utils::format_ymd(date);
    ++asked;
    auto reply = dashboard.call("GetAggregatedUsageEvents",
                                fmt::format(R"({{"endDate":{},"startDate":{},"teamId":-1}})", *end, *start));
    if (!reply) {
      ++failed;
      ++failures_in_a_row;
      log::debug_print(options.common.debug, "Failed to load Cursor usage for " + label);
      if (failures_in_a_row >= kFailuresBeforeGivingUp && events.empty()) {
        warn("WARN  Failed to load Cursor usage from the dashboard API.\n");
        return events;
      }
      continue;
    }
    failures_in_a_row = 0;
    if (auto rows = reader::at(reply, "aggregations"); rows && rows->is_array()) {
      auto array = rows->get_array().value_unsafe();
      auto it = array.begin();
      while (auto event = next_aggregation_row(it, array.end(), label, *start)) events.push_back(std::move(*event));
    }
  }
  if (failed > 0)
    warn(fmt::format("WARN  Failed to load Cursor usage for {} of {} {} from the dashboard API; {} not counted.\n",
                     failed, asked, asked == 1 ? "day" : "days", failed == 1 ? "that day is" : "those days are"));
  return events;
}

UsageRecord record_of(CursorUsageEvent& e, reader::Prices& prices, const all::loader::LoadOptions& options) {
  UsageRecord r = reader::record_at(e.model, e.day_start_ms, options.zone);
  r.tokens = e.tokens;
  if (e.has_recorded_cost) r.recorded_cost = e.recorded_cost;
  r.date_key = std::move(e.label);

  const auto names = price_candidates(e.model);
  const CostMode mode = options.common.mode;
  r.cost = pricing::cost_for(mode, r.recorded_cost, pricing::CostRule::FirstPriced, reader::NamePrices(prices, names), r.tokens);
  if (pricing::reports_missing_price(r.tokens, e.has_recorded_cost, mode)) {
    const std::uint64_t tokens = reader::token_sum(e.tokens);
    r.unpriced = prices.unpriced(e.model, names, tokens);
  }
  return r;
}

}  // namespace

std::optional<CivilDate> parse_compact_date(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string digits;
  for (char c : *text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    if (c != '-') digits += c;
  }
  if (digits.size() != 8) return std::nullopt;
  const std::string_view d = digits;
  auto year = util::parse_u64_decimal(d.substr(0, 4));
  auto month = util::parse_u64_decimal(d.substr(4, 2));
  auto day = util::parse_u64_decimal(d.substr(6, 2));
  if (!year || !month || !day) return std::nullopt;
  return date_utils::civil_date(static_cast<std::int64_t>(*year), static_cast<std::int64_t>(*month),
                                static_cast<std::int64_t>(*day));
}

std::uint64_t json_count(std::optional<json::element> v) {
  if (auto n = reader::truncated_count(v)) return *n;
  if (auto s = reader::string(v)) {
    auto n = util::parse_i64_decimal(util::trim(*s));
    return n && *n > 0 ? static_cast<std::uint64_t>(*n) : 0;
  }
  return 0;
}

std::optional<CursorUsageEvent> next_aggregation_row(simdjson::dom::array::iterator& it,
                                                     simdjson::dom::array::iterator end, std::string_view label,
                                                     std::int64_t day_start_ms) {
  for (; it != end; ++it) {
    const json::element row = *it;
    auto model = reader::text(reader::at(row, "modelIntent"));
    if (!model) continue;
    CursorUsageEvent e;
    TokenUsageRaw& t = e.tokens;
    t.input = json_count(reader::at(row, "inputTokens"));
    t.output = json_count(reader::at(row, "outputTokens"));
    t.cache_creation = json_count(reader::at(row, "cacheWriteTokens"));
    t.cache_read = json_count(reader::at(row, "cacheReadTokens"));
    if (t.input == 0 && t.output == 0 && t.cache_creation == 0 && t.cache_read == 0) continue;
    auto cents = reader::number_or_decimal(reader::at(row, "totalCents"));
    if (cents && std::isfinite(*cents) && *cents > 0) {
      e.has_recorded_cost = true;
      e.recorded_cost = *cents / 100;
    }
    e.label = std::string(label);
    e.model = std::string(*model);
    e.day_start_ms = day_start_ms;
    ++it;
    return e;
  }
  return std::nullopt;
}

std::vector<std::string> price_candidates(std::string_view model) {
  std::vector<std::string> names{std::string(model)};
  std::string_view name = model;
  // An empty name would match every price key by containment: it is never tried.
  if (name.starts_with("cursor-")) {
    name.remove_prefix(7);
    if (!name.empty()) names.emplace_back(name);
  }
  for (auto suffix : kModelSuffixes) {
    if (!name.ends_with(suffix)) continue;
    name.remove_suffix(suffix.size());
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

AgentLoadResult load_cursor_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  return load_cursor_usage_at(date_utils::now_ms(), options, table);
}

AgentLoadResult load_cursor_usage_at(std::int64_t now_ms, const all::loader::LoadOptions& options,
                                     const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Cursor, options);
  std::vector<CursorUsageEvent> events;
  if (!options.common.offline) {
    if (auto token = account::read_cursor_auth().access_token) {
      Dashboard dashboard{.token = std::move(*token), .parser = {}};
      const CivilDate today = date_utils::local_civil_date(now_ms, options.zone);
      const CivilDate last = parse_compact_date(options.common.until).value_or(today);
      const CivilDate first = first_day(dashboard, options, today);
      events = fetch_days(dashboard, first, last, options);
    }
  }
  reader::Prices prices(&table);
  std::vector<UsageRecord> records;
  records.reserve(events.size());
  for (auto& e : events) records.push_back(record_of(e, prices, options));
  return run.finish(std::move(records));
}

}  // namespace qm::cursor::loader
