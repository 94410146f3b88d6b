#pragma once
// Strict reading of JSON Lines records: the whole line must be one JSON value (nothing but
// white space after it), a known key may appear only once, and numbers keep their kind
// (12.0 is not a count).
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "json/dom_fwd.h"
#include "json/parser.h"

namespace qm::json {

// The parser's own limit: a text holds fewer than this many levels of containers that are
// not empty (an empty [] or {} takes no level of its own).
inline constexpr std::size_t kParserDepth = simdjson::DEFAULT_MAX_DEPTH;
static_assert(kPadding == simdjson::SIMDJSON_PADDING);

// Whether a parsed text nests containers more than `levels` deep (every container counts, the
// innermost one too, empty or not), for formats that set a limit of their own. `text` is what
// `root` was parsed from.
bool nested_deeper_than(std::string_view text, element root, std::size_t levels);

// Equal texts; the ends are compared first, as keys of one length mostly differ there.
inline bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         (a.empty() || (a.front() == b.front() && a.back() == b.back() && std::memcmp(a.data(), b.data(), a.size()) == 0));
}

// The members of an object under a fixed set of keys. False when a known key repeats;
// unknown keys are ignored.
template <std::size_t N>
bool read_fields(object obj, const std::array<std::string_view, N>& keys, std::array<std::optional<element>, N>& out) {
  out.fill(std::nullopt);
  for (auto field : obj) {
    for (std::size_t i = 0; i < N; ++i) {
      if (!same_key(field.key, keys[i])) continue;
      if (out[i]) return false;
      out[i] = field.value;
      break;
    }
  }
  return true;
}

// The number readers are here in full: the database readers call them for every count of
// every row.
// An unsigned 64-bit count: a JSON integer that is not negative. Floats, strings and
// negative numbers are not counts.
inline std::optional<std::uint64_t> as_count(element v) {
  switch (v.type()) {
    case simdjson::dom::element_type::INT64: {
      auto i = v.get_int64().value_unsafe();
      if (i < 0) return std::nullopt;
      return static_cast<std::uint64_t>(i);
    }
    case simdjson::dom::element_type::UINT64: return v.get_uint64().value_unsafe();
    default: return std::nullopt;
  }
}
// Signed 64-bit integer (no float).
inline std::optional<std::int64_t> as_i64(element v) {
  if (v.type() == simdjson::dom::element_type::INT64) return v.get_int64().value_unsafe();
  return std::nullopt;
}
// Any JSON number as a double.
inline std::optional<double> as_number(element v) {
  switch (v.type()) {
    case simdjson::dom::element_type::INT64: return static_cast<double>(v.get_int64().value_unsafe());
    case simdjson::dom::element_type::UINT64: return static_cast<double>(v.get_uint64().value_unsafe());
    case simdjson::dom::element_type::DOUBLE: return v.get_double().value_unsafe();
    default: return std::nullopt;
  }
}

// An optional field whose value may be absent, null or of one type. `ok` is false when the
// value has another type (which rejects the record).
struct OptString {
  bool ok = true;
  std::optional<std::string_view> value;
};
OptString opt_string(const std::optional<element>& v);
struct OptBool {
  bool ok = true;
  std::optional<bool> value;
};
OptBool opt_bool(const std::optional<element>& v);
struct OptNumber {
  bool ok = true;
  std::optional<double> value;
};
OptNumber opt_number(const std::optional<element>& v);

// A unit enum word: a string, or an object with exactly one key whose value is null.
std::optional<std::string_view> enum_word(element v);

// The members of an object as a generic JSON map holds them: keys in ascending byte order,
// a repeated key once with its last value.
std::vector<std::pair<std::string_view, element>> members_by_key(object obj);

}  // namespace qm::json
