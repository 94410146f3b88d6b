#pragma once
// The JSON value readers that the agents' formats keep asking for, over the strict parser's
// document tree. Each takes an optional element, so that member lookups chain without checks.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "json/strict.h"
#include "reader/maybe_element.h"

namespace qm::reader {

// The member at the end of a key path ("time", "created"); none when a step is missing or
// is not an object.
MaybeElement at(MaybeElement value, std::string_view key);
MaybeElement at(MaybeElement value, std::initializer_list<std::string_view> path);

// The members of an object under several keys, found in one pass over the object (a
// repeated key keeps its first value, as `at` does). All none when the value is no object.
template <std::size_t N>
std::array<MaybeElement, N> members(MaybeElement value, const std::array<std::string_view, N>& keys) {
  std::array<MaybeElement, N> out{};
  json::object obj;
  if (!value || value->get_object().get(obj)) return out;
  for (auto field : obj)
    for (std::size_t i = 0; i < N; ++i)
      if (!out[i] && field.key == keys[i]) {
        out[i] = field.value;
        break;
      }
  return out;
}

// A string, trimmed, when not empty.
std::optional<std::string_view> text(MaybeElement v);
// A string exactly as written.
std::optional<std::string_view> string(MaybeElement v);
bool is_object(MaybeElement v);

// Unsigned only: a JSON integer that is not negative. Floats (12.0 too), strings, negative
// numbers and other types give none.
std::optional<std::uint64_t> count(MaybeElement v);
inline std::uint64_t count_or_zero(MaybeElement v) { return count(v).value_or(0); }

// Integer or string: `count`, or a string whose trimmed text is an unsigned decimal.
std::optional<std::uint64_t> count_or_decimal(MaybeElement v);

// Truncating: any JSON number as a count, its fraction dropped, a negative value 0, a value
// beyond the range the largest count.
std::optional<std::uint64_t> truncated_count(MaybeElement v);
// truncated_count of a finite number only: an infinity is no count.
std::optional<std::uint64_t> finite_truncated_count(MaybeElement v);

// Lenient number: any JSON number (integer or float, any sign) as a float.
std::optional<double> number(MaybeElement v);
// `number` when finite: a number beyond a double's range reads as none.
std::optional<double> finite_number(MaybeElement v);
// A recorded amount of money: a number that is finite and not negative. A negative or
// non-finite amount would lower the totals, so it counts as absent.
std::optional<double> amount(MaybeElement v);

// A JSON integer within the signed 64-bit range (no float).
std::optional<std::int64_t> integer(MaybeElement v);

// Number or decimal text: `number`, or a string that is wholly a decimal floating-point
// number (no white space around it).
std::optional<double> number_or_decimal(MaybeElement v);
// `amount` over number_or_decimal; negative zero reads as zero.
std::optional<double> amount_or_decimal(MaybeElement v);
// Integer or decimal text: `integer`, or a string that is wholly a signed decimal integer
// (optional sign, no white space) within the signed 64-bit range.
std::optional<std::int64_t> integer_or_decimal(MaybeElement v);

// A string that is a timestamp in the accepted RFC 3339 forms, as milliseconds.
std::optional<std::int64_t> time_text_ms(MaybeElement v);

// The first key of the list whose member `read` accepts, with what it gave.
template <typename Read>
auto first_of(MaybeElement object, std::initializer_list<std::string_view> keys, Read read)
    -> decltype(read(MaybeElement{})) {
  for (auto key : keys)
    if (auto v = read(at(object, key))) return v;
  return {};
}

// First positive of several keys: the first whose value is a JSON integer above 0; else 0.
std::uint64_t first_positive_count(MaybeElement object, std::initializer_list<std::string_view> keys);

}  // namespace qm::reader
