#include "adapter/codex/live_usage.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "adapter/codex/home.h"
#include "http/hosts.h"
#include "json/strict.h"
#include "reader/values.h"
#include "start_thread.h"
#include "util.h"
#include "util_files.h"

namespace qm::codex::live_usage {
namespace {

using plan::CodexRateLimits;
using plan::RateLimitWindow;
using reader::MaybeElement;

constexpr std::string_view kUsagePath = "/backend-api/wham/usage";
constexpr std::string_view kBreakdownPath = "/backend-api/wham/usage/daily-token-usage-breakdown";
constexpr std::int64_t kSameResetSeconds = 60;
constexpr std::int64_t kFreshRolloutMs = 600'000;

std::optional<std::string> endpoint(std::string_view path) {
  auto base = http::hosts::chatgpt_base();
  if (!base) return std::nullopt;
  return *base + std::string(path);
}

std::optional<RateLimitWindow> live_window(MaybeElement value) {
  if (!value || value->is_null()) return std::nullopt;
  auto seconds = reader::count(reader::at(value, "limit_window_seconds"));
  auto used = reader::number(reader::at(value, "used_percent"));
  if (!seconds || !used) return std::nullopt;
  return RateLimitWindow{*used, *seconds / 60, reader::integer(reader::at(value, "reset_at"))};
}

std::optional<std::uint32_t> reset_credits(MaybeElement root) {
  auto credits = reader::at(root, "rate_limit_reset_credits");
  if (!credits) credits = reader::at(root, "rateLimitResetCredits");
  auto count = reader::at(credits, "available_count");
  if (!count) count = reader::at(credits, "availableCount");
  auto n = reader::count(count);
  if (!n || *n > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

// Weekly windows of two readings that describe the same window.
bool same_window(const RateLimitWindow& a, const RateLimitWindow& b) {
  if (!a.resets_at || !b.resets_at || a.window_minutes != b.window_minutes) return false;
  std::int64_t diff;
  if (__builtin_sub_overflow(*a.resets_at, *b.resets_at, &diff)) return false;
  return diff >= -kSameResetSeconds && diff <= kSameResetSeconds;
}

// A finite number above 0.
std::optional<double> positive(MaybeElement v) {
  auto n = reader::number(v);
  if (!n || !std::isfinite(*n) || *n <= 0) return std::nullopt;
  return n;
}

std::optional<CodexDailyBreakdownRow> breakdown_row(MaybeElement day) {
  auto date = reader::string(reader::at(day, "date"));
  if (!date) return std::nullopt;
  CodexDailyBreakdownRow row;
  row.date = std::string(*date);
  simdjson::dom::object surfaces;
  if (auto s = reader::at(day, "product_surface_usage_values"); s && !s->get_object().get(surfaces))
    for (const auto& [name, value] : json::members_by_key(surfaces))
      if (auto used = positive(value)) row.surfaces.push_back({std::string(name), *used});
  std::stable_sort(row.surfaces.begin(), row.surfaces.end(),
                   [](const auto& a, const auto& b) { return a.used_percent > b.used_percent; });
  simdjson::dom::array models;
  if (auto m = reader::at(day, "models"); m && !m->get_array().get(models)) {
    for (auto model : models) {
      auto name = reader::string(reader::at(model, "model"));
      auto used = positive(reader::at(model, "credits"));
      if (!name || !used) continue;
      std::optional<std::string> speed;
      if (auto s = reader::string(reader::at(model, "speed"))) speed = std::string(*s);
      row.models.push_back({std::string(*name), std::move(speed), *used});
    }
  }
  std::stable_sort(row.models.begin(), row.models.end(),
                   [](const auto& a, const auto& b) { return a.used_percent > b.used_percent; });
  double sum = 0.0;
  if (!row.surfaces.empty())
    for (const auto& s : row.surfaces) sum += s.used_percent;
  else
    for (const auto& m : row.models) sum += m.used_percent;
  row.used_percent = sum;
  return row;
}

}  // namespace

std::optional<std::string> read_access_token() {
  auto homes = home::codex_home_dirs();
  if (!homes) return std::nullopt;
  json::StrictParser parser;
  for (const auto& home : *homes) {
    auto text = util::read_file(home / "auth.json");
    if (!text || !util::is_valid_utf8(*text)) continue;
    auto root = parser.parse_copy(util::trim(*text));
    if (!root) continue;
    auto token = reader::string(reader::at(*root, {"tokens", "access_token"}));
    if (token && !token->empty()) return std::string(*token);
  }
  return std::nullopt;
}

http::Client usage_client() { return http::Client{.timeout = std::chrono::milliseconds(5'000), .body_cap = 1'000'000}; }

std::optional<std::string> get_json_with_bearer(const std::string& url, std::string_view token,
                                                const http::Client& client) {
  auto response = http::get(client, url,
                            {{"Authorization", "Bearer " + std::string(token)},
                             {"Accept", "application/json"},
                             {"User-Agent", "quillimare/20.0.21"}});
  if (!response || response->status != 200 || !util::is_valid_utf8(response->body)) return std::nullopt;
  return std::move(response->body);
}

std::optional<CodexRateLimits> parse_usage(std::string_view body) {
  json::StrictParser parser;
  auto root = parser.parse_copy(body);
  if (!root) return std::nullopt;
  auto limits = reader::at(*root, "rate_limit");
  if (!limits) return std::nullopt;
  CodexRateLimits r;
  auto plan_type = reader::string(reader::at(*root, "plan_type"));
  r.plan_type = plan_type && !plan_type->empty() ? std::string(*plan_type) : "unknown";
  r.primary = live_window(reader::at(limits, "primary_window"));
  r.secondary = live_window(reader::at(limits, "secondary_window"));
  r.reset_credits_available = reset_credits(*root);
  r.limit_id = "codex";
  return r;
}

std::optional<CodexRateLimits> fetch_usage(const std::string& token) {
  auto url = endpoint(kUsagePath);
  if (!url) return std::nullopt;
  auto body = get_json_with_bearer(*url, token);
  if (!body) return std::nullopt;
  return parse_usage(*body);
}

std::optional<CodexRateLimits> reconcile_samples(const std::vector<std::optional<CodexRateLimits>>& samples) {
  std::optional<CodexRateLimits> result;
  for (const auto& s : samples) {
    if (!result) {
      result = s;
      continue;
    }
    if (!s) continue;
    auto w = plan::select_weekly_window(*result), ws = plan::select_weekly_window(*s);
    if (w && ws && same_window(*w, *ws) && ws->used_percent < w->used_percent) result = s;
  }
  return result;
}

CodexRateLimits correct_with_rollout(CodexRateLimits live, const std::optional<plan::RolloutRateLimits>& rollout,
                                     std::int64_t now_ms) {
  if (!rollout || !rollout->observed_at_ms) return live;
  std::int64_t age;
  if (__builtin_sub_overflow(now_ms, *rollout->observed_at_ms, &age)) age = now_ms < 0 ? INT64_MIN : INT64_MAX;
  if (age > kFreshRolloutMs) return live;
  auto lw = plan::select_weekly_window(live), rw = plan::select_weekly_window(rollout->limits);
  if (!lw || !rw || !same_window(*lw, *rw)) return live;
  if (!(lw->used_percent > rw->used_percent * 1.5 + 3)) return live;
  for (auto* w : {&live.primary, &live.secondary})
    if (*w && **w == *lw) (*w)->used_percent = rw->used_percent;
  return live;
}

std::optional<CodexRateLimits> fetch_live_limits(bool offline, const clock::Clock& clock) {
  if (offline) return std::nullopt;
  auto token = read_access_token();
  if (!token) return std::nullopt;

  std::vector<std::optional<CodexRateLimits>> samples(3);
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    // Each thread owns its copy of the token and writes only its own slot.
    auto sample = [&slot = samples[i], t = *token] { slot = fetch_usage(t); };
    if (!parallel::start_thread(threads, sample)) sample();
  }
  samples[0] = fetch_usage(*token);
  for (auto& t : threads) t.join();

  auto live = reconcile_samples(samples);
  if (!live) return std::nullopt;
  // The rollouts are read only when the correction could apply.
  auto weekly = plan::select_weekly_window(*live);
  if (!weekly || !weekly->resets_at) return live;
  return correct_with_rollout(std::move(*live), plan::read_rollout_rate_limits(), clock.now_ms());
}

bool is_unknown_plan(std::string_view plan_type) { return plan_type == "unknown"; }

std::vector<CodexDailyBreakdownRow> parse_daily_breakdown(std::string_view body) {
  json::StrictParser parser;
  auto root = parser.parse_copy(body);
  if (!root) return {};
  if (auto units = reader::string(reader::at(*root, "units")); units && *units != "percent") return {};
  simdjson::dom::array data;
  auto d = reader::at(*root, "data");
  if (!d || d->get_array().get(data)) return {};
  std::vector<CodexDailyBreakdownRow> rows;
  for (auto day : data)
    if (auto row = breakdown_row(day)) rows.push_back(std::move(*row));
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.date < b.date; });
  return rows;
}

std::vector<CodexDailyBreakdownRow> fetch_daily_breakdown(bool offline) {
  if (offline) return {};
  auto token = read_access_token();
  auto url = endpoint(kBreakdownPath);
  if (!token || !url) return {};
  auto body = get_json_with_bearer(*url, *token);
  if (!body) return {};
  return parse_daily_breakdown(*body);
}

DailyBreakdownTask::DailyBreakdownTask(bool offline)
    : DailyBreakdownTask([offline] { return fetch_daily_breakdown(offline); }) {}

DailyBreakdownTask::DailyBreakdownTask(std::function<std::vector<CodexDailyBreakdownRow>()> fetch) {
  auto work = [this, fetch = std::move(fetch)] { rows_ = fetch(); };
  std::vector<std::thread> started;
  if (parallel::start_thread(started, work))
    thread_ = std::move(started.front());
  else
    work();  // no thread to be had: the request runs here
}

DailyBreakdownTask::~DailyBreakdownTask() {
  if (thread_.joinable()) thread_.join();
}

std::vector<CodexDailyBreakdownRow> DailyBreakdownTask::join() {
  if (thread_.joinable()) thread_.join();
  return std::exchange(rows_, {});
}

}  // namespace qm::codex::live_usage
