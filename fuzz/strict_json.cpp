// The strict JSON reader accepts exactly the texts that an independent JSON reader accepts
// within the parser's own depth limit, and reads the same values from them; a number beyond a
// double's range, which the independent reader refuses, reads as an infinity. The depth
// check of the formats that set a limit agrees with the depth the independent reader finds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json/strict.h"
#include "support.h"

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// The nesting of the text as the reference meets it, containers under a repeated key (which
// the reference's value leaves out) included: the deepest container, and the most containers
// around a value (the levels of containers that hold something, which the parser's own limit
// counts).
struct Nesting : nlohmann::json_sax<nlohmann::json> {
  std::size_t depth = 0, deepest = 0, filled = 0;
  bool value() {
    filled = std::max(filled, depth);
    return true;
  }
  bool open() {
    value();
    deepest = std::max(deepest, ++depth);
    return true;
  }
  bool close() {
    --depth;
    return true;
  }
  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t&) override { return value(); }
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// In the reference's copy of the text, a string stands for an infinity.
const std::string kPlusInfinity = std::string("\0+inf", 5);
const std::string kMinusInfinity = std::string("\0-inf", 5);

// Finds the first number that the reference refuses for being beyond a double's range.
struct Overflow : nlohmann::json_sax<nlohmann::json> {
  bool found = false;
  std::size_t end = 0;
  std::string token;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string& last_token, const nlohmann::detail::exception& e) override {
    found = e.id == 406;  // number overflow
    end = position;
    token = last_token;
    return false;
  }
};

// The text with every number beyond a double's range replaced by the string of its infinity.
std::string with_infinities_as_strings(std::string text) {
  for (;;) {
    Overflow overflow;
    nlohmann::json::sax_parse(text, &overflow);
    if (!overflow.found || overflow.end < overflow.token.size()) return text;
    const std::size_t start = overflow.end - overflow.token.size();
    if (text.compare(start, overflow.token.size(), overflow.token) != 0) return text;
    const std::string& infinity = overflow.token.starts_with('-') ? kMinusInfinity : kPlusInfinity;
    text.replace(start, overflow.token.size(), nlohmann::json(infinity).dump());
  }
}

// Same value and the same kind of number (an integer is never equal to a float).
bool same(element a, const nlohmann::json& b) {
  switch (a.type()) {
    case element_type::NULL_VALUE: return b.is_null();
    case element_type::BOOL: return b.is_boolean() && b.get<bool>() == a.get_bool().value_unsafe();
    case element_type::STRING: return b.is_string() && b.get_ref<const std::string&>() == a.get_string().value_unsafe();
    case element_type::INT64:
      if (b.is_number_unsigned()) return a.get_int64().value_unsafe() >= 0 &&
                                         b.get<std::uint64_t>() == std::uint64_t(a.get_int64().value_unsafe());
      return b.is_number_integer() && b.get<std::int64_t>() == a.get_int64().value_unsafe();
    case element_type::UINT64: return b.is_number_unsigned() && b.get<std::uint64_t>() == a.get_uint64().value_unsafe();
    case element_type::DOUBLE: {
      const double d = a.get_double().value_unsafe();
      if (std::isinf(d)) return b.is_string() && b.get_ref<const std::string&>() == (d > 0 ? kPlusInfinity : kMinusInfinity);
      return b.is_number_float() && b.get<double>() == d;
    }
    case element_type::ARRAY: {
      if (!b.is_array()) return false;
      auto items = a.get_array().value_unsafe();
      if (items.size() != b.size()) return false;
      std::size_t i = 0;
      for (element item : items)
        if (!same(item, b[i++])) return false;
      return true;
    }
    case element_type::OBJECT: {
      // The reference keeps the last of a repeated key.
      if (!b.is_object()) return false;
      std::map<std::string_view, element> last;
      const simdjson::dom::object fields = a.get_object().value_unsafe();
      for (auto field : fields) last.insert_or_assign(field.key, field.value);
      if (last.size() != b.size()) return false;
      for (const auto& [key, value] : last) {
        auto it = b.find(std::string(key));
        if (it == b.end() || !same(value, *it)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static qm::json::StrictParser parser;
  const auto got = parser.parse_copy(text);

  const std::string reference = with_infinities_as_strings(std::string(text));
  const auto want = nlohmann::json::parse(reference.begin(), reference.end(), nullptr, false);
  Nesting nesting;
  nlohmann::json::sax_parse(reference, &nesting);
  // The reference skips a leading byte-order mark and takes a raw NUL byte for the end of
  // the text; JSON allows neither.
  const bool accepted = !want.is_discarded() && !text.starts_with("\xEF\xBB\xBF") &&
                        text.find('\0') == std::string_view::npos && nesting.filled < qm::json::kParserDepth;
  FUZZ_CHECK(got.has_value() == accepted);
  if (!got) return 0;
  FUZZ_CHECK(same(*got, want));
  for (std::size_t limit : {std::size_t{1}, std::size_t{128}}) {
    FUZZ_CHECK(qm::json::nested_deeper_than(text, *got, limit) == (nesting.deepest > limit));
    FUZZ_CHECK(parser.nested_deeper_than(text, *got, limit) == (nesting.deepest > limit));
  }
  return 0;
}
