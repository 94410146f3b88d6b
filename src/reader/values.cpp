#include "reader/values.h"

#include <cmath>

#include "date_utils.h"
#include "util.h"
#include "util_json.h"

namespace qm::reader {

MaybeElement at(MaybeElement value, std::string_view key) {
  if (!value) return std::nullopt;
  return util::member(*value, key);
}

MaybeElement at(MaybeElement value, std::initializer_list<std::string_view> path) {
  for (auto key : path) value = at(value, key);
  return value;
}

std::optional<std::string_view> string(MaybeElement v) {
  if (!v || !v->is_string()) return std::nullopt;
  return v->get_string().value_unsafe();
}

std::optional<std::string_view> text(MaybeElement v) {
  auto s = string(v);
  if (!s) return std::nullopt;
  std::string_view t = util::trim(*s);
  if (t.empty()) return std::nullopt;
  return t;
}

bool is_object(MaybeElement v) { return v && v->is_object(); }

std::optional<std::uint64_t> count(MaybeElement v) {
  if (!v) return std::nullopt;
  return json::as_count(*v);
}

std::optional<std::uint64_t> count_or_decimal(MaybeElement v) {
  if (auto c = count(v)) return c;
  if (auto s = string(v)) return util::parse_u64_decimal(util::trim(*s));
  return std::nullopt;
}

std::optional<std::uint64_t> truncated_count(MaybeElement v) {
  if (!v) return std::nullopt;
  switch (v->type()) {
    case simdjson::dom::element_type::INT64: return static_cast<std::uint64_t>(std::max<std::int64_t>(0, v->get_int64().value_unsafe()));
    case simdjson::dom::element_type::UINT64: return v->get_uint64().value_unsafe();
    case simdjson::dom::element_type::DOUBLE: return util::saturating_u64(v->get_double().value_unsafe());
    default: return std::nullopt;
  }
}

std::optional<std::uint64_t> finite_truncated_count(MaybeElement v) {
  if (v && v->type() == simdjson::dom::element_type::DOUBLE && !std::isfinite(v->get_double().value_unsafe()))
    return std::nullopt;
  return truncated_count(v);
}

std::optional<double> number(MaybeElement v) {
  if (!v) return std::nullopt;
  return json::as_number(*v);
}

std::optional<double> finite_number(MaybeElement v) {
  auto n = number(v);
  if (n && !std::isfinite(*n)) return std::nullopt;
  return n;
}

namespace {
std::optional<double> as_amount(std::optional<double> n) {
  if (!n || !std::isfinite(*n) || *n < 0) return std::nullopt;
  return *n + 0.0;  // -0 + 0 is +0
}
}  // namespace

std::optional<double> amount(MaybeElement v) { return as_amount(number(v)); }

std::optional<std::int64_t> integer(MaybeElement v) {
  if (!v) return std::nullopt;
  return json::as_i64(*v);
}

std::optional<double> number_or_decimal(MaybeElement v) {
  if (auto n = number(v)) return n;
  if (auto s = string(v)) return util::parse_f64_decimal(*s);
  return std::nullopt;
}

std::optional<double> amount_or_decimal(MaybeElement v) { return as_amount(number_or_decimal(v)); }

std::optional<std::int64_t> integer_or_decimal(MaybeElement v) {
  if (auto i = integer(v)) return i;
  if (auto s = string(v)) return util::parse_i64_decimal(*s);
  return std::nullopt;
}

std::optional<std::int64_t> time_text_ms(MaybeElement v) {
  auto s = string(v);
  if (!s) return std::nullopt;
  return date_utils::parse_timestamp_ms(*s);
}

std::uint64_t first_positive_count(MaybeElement object, std::initializer_list<std::string_view> keys) {
  return first_of(object, keys, [](MaybeElement v) -> std::optional<std::uint64_t> {
           auto c = count(v);
           if (c && *c > 0) return c;
           return std::nullopt;
         }).value_or(0);
}

}  // namespace qm::reader
