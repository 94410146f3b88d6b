// The Claude usage report: two layouts of windows (named members, or a list of limits) and
// two forms of extra usage (credits, or money).
#include <algorithm>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "adapter/claude/limits.h"
#include "date_utils.h"
#include "json/strict.h"
#include "util.h"
#include "util_json.h"

namespace qm::claude::limits {
namespace {

using simdjson::dom::element;

std::optional<element> member(std::optional<element> object, std::string_view key) {
  if (!object) return std::nullopt;
  return util::member(*object, key);
}

bool present(const std::optional<element>& v) { return v && !v->is_null(); }

std::optional<double> finite_number(std::optional<element> v) {
  if (!v) return std::nullopt;
  auto d = json::as_number(*v);
  if (!d || !std::isfinite(*d)) return std::nullopt;
  return d;
}

std::optional<double> percent_value(std::optional<element> v) {
  auto d = finite_number(v);
  if (!d) return std::nullopt;
  return std::clamp(*d, 0.0, 100.0);
}

std::optional<std::int64_t> reset_time(std::optional<element> v) {
  if (!v || !v->is_string()) return std::nullopt;
  return normalize_fraction_and_parse(v->get_string().value_unsafe());
}

std::optional<std::string> non_empty_string(std::optional<element> v) {
  if (!v || !v->is_string()) return std::nullopt;
  std::string_view s = v->get_string().value_unsafe();
  if (s.empty()) return std::nullopt;
  return std::string(s);
}

bool is_true(std::optional<element> v) {
  bool b = false;
  return v && !v->get_bool().get(b) && b;
}

std::optional<ClaudeExtraUsage> credits_form(std::optional<element> e) {
  ClaudeExtraUsage x;
  x.enabled = is_true(member(e, "is_enabled"));
  if (auto used = finite_number(member(e, "used_credits"))) x.used = *used / 100.0;
  if (auto limit = finite_number(member(e, "monthly_limit")); limit && *limit > 0) x.limit = *limit / 100.0;
  x.used_percent = percent_value(member(e, "utilization"));
  if (!x.enabled && !x.used && !x.limit) return std::nullopt;
  return x;
}

std::optional<ClaudeExtraUsage> money_form(std::optional<element> s) {
  ClaudeExtraUsage x;
  x.enabled = is_true(member(s, "enabled"));
  x.used = parse_money_amount(member(s, "used"));
  x.limit = parse_money_amount(member(s, "limit"));
  x.used_percent = percent_value(member(s, "percent"));
  if (!x.enabled && !x.used && !x.limit) return std::nullopt;
  return x;
}

std::optional<std::string> scoped_name(std::optional<element> scope) {
  auto model = member(scope, "model");
  auto display = member(model, "display_name");
  if (auto name = non_empty_string(display ? display : member(model, "id"))) return name;
  return non_empty_string(scope);
}

void read_limit_list(element list, ClaudeUsageLimits& out) {
  simdjson::dom::array items = list.get_array().value_unsafe();
  for (element item : items) {
    auto kind = member(item, "kind");
    if (!kind || !kind->is_string()) continue;
    auto percent = percent_value(member(item, "percent"));
    if (!percent) percent = percent_value(member(item, "utilization"));
    if (!percent) continue;
    auto resets = reset_time(member(item, "resets_at"));
    std::string_view k = kind->get_string().value_unsafe();
    if (k == "session") {
      if (!out.session) out.session = UsageWindow{*percent, resets};
    } else if (k == "weekly_all") {
      if (!out.weekly) out.weekly = UsageWindow{*percent, resets};
    } else if (k == "weekly_scoped") {
      if (auto name = scoped_name(member(item, "scope"))) out.scoped.push_back({std::move(*name), *percent, resets});
    }
  }
}

nlohmann::json float_or_null(std::optional<double> v) {
  if (!v) return nullptr;
  return *v;
}
nlohmann::json integer_or_null(std::optional<std::int64_t> v) {
  if (!v) return nullptr;
  return *v;
}

}  // namespace

std::optional<std::int64_t> normalize_fraction_and_parse(std::string_view text) {
  if (auto ms = date_utils::parse_timestamp_ms(text)) return ms;
  auto dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::size_t end = dot + 1;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  std::string digits(text.substr(dot + 1, std::min<std::size_t>(end - dot - 1, 3)));
  digits.resize(3, '0');
  std::string normal(text.substr(0, dot + 1));
  normal += digits;
  normal += text.substr(end);
  return date_utils::parse_timestamp_ms(normal);
}

std::optional<UsageWindow> parse_usage_window(std::optional<element> value) {
  if (!present(value)) return std::nullopt;
  auto percent = percent_value(member(value, "utilization"));
  if (!percent) return std::nullopt;
  return UsageWindow{*percent, reset_time(member(value, "resets_at"))};
}

std::optional<double> parse_money_amount(std::optional<element> value) {
  if (!value) return std::nullopt;
  if (auto number = finite_number(value)) return number;
  if (!value->is_object()) return std::nullopt;
  auto minor = finite_number(member(value, "amount_minor"));
  if (!minor) return std::nullopt;
  std::int64_t exponent = 2;
  if (auto e = member(value, "exponent"); e && (e->is_int64() || e->is_uint64())) {
    auto v = json::as_i64(*e);
    if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max())
      return std::nullopt;
    exponent = *v;
  }
  // A far negative exponent divides by zero; such an amount is no amount.
  double amount = *minor / std::pow(10.0, static_cast<double>(exponent));
  if (!std::isfinite(amount)) return std::nullopt;
  return amount;
}

std::optional<ClaudeUsageLimits> parse_usage_response(std::string_view text) {
  json::StrictParser parser;
  auto root = parser.parse_copy(text);
  if (!root) return std::nullopt;
  ClaudeUsageLimits out;
  if (!root->is_object()) return out;
  out.session = parse_usage_window(member(root, "five_hour"));
  out.weekly = parse_usage_window(member(root, "seven_day"));
  if (auto credits = member(root, "extra_usage"); present(credits)) out.extra = credits_form(credits);
  if (auto spend = member(root, "spend"); !out.extra && present(spend)) out.extra = money_form(spend);
  if (auto list = member(root, "limits"); list && list->is_array()) read_limit_list(*list, out);
  return out;
}

std::optional<nlohmann::json> claude_account_json(const ClaudeUsageLimits& limits, std::int64_t observed_at_ms) {
  if (limits.empty()) return std::nullopt;
  nlohmann::json scoped = nlohmann::json::array();
  for (const auto& s : limits.scoped)
    scoped.push_back({{"name", s.name}, {"resetsAtMs", integer_or_null(s.resets_at)}, {"usedPercent", s.used_percent}});
  const auto& x = limits.extra;
  auto session = limits.session, weekly = limits.weekly;
  return nlohmann::json{
      {"extraEnabled", x ? nlohmann::json(x->enabled) : nlohmann::json(nullptr)},
      {"extraLimitUSD", float_or_null(x ? x->limit : std::nullopt)},
      {"extraUsedPercent", float_or_null(x ? x->used_percent : std::nullopt)},
      {"extraUsedUSD", float_or_null(x ? x->used : std::nullopt)},
      {"observedAtMs", observed_at_ms},
      {"scoped", std::move(scoped)},
      {"sessionResetsAtMs", integer_or_null(session ? session->resets_at : std::nullopt)},
      {"sessionUsedPercent", float_or_null(session ? std::optional(session->used_percent) : std::nullopt)},
      {"weeklyResetsAtMs", integer_or_null(weekly ? weekly->resets_at : std::nullopt)},
      {"weeklyUsedPercent", float_or_null(weekly ? std::optional(weekly->used_percent) : std::nullopt)},
  };
}

}  // namespace qm::claude::limits
