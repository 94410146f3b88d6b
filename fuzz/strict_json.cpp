// The strict JSON reader accepts exactly the texts that an independent JSON reader accepts
// with at most 128 levels of nesting, and reads the same values from them.
#include <algorithm>
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

std::size_t depth(const nlohmann::json& v) {
  if (!v.is_structured()) return 0;
  std::size_t deepest = 0;
  for (const auto& item : v) deepest = std::max(deepest, depth(item));
  return deepest + 1;
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
    case element_type::DOUBLE: return b.is_number_float() && b.get<double>() == a.get_double().value_unsafe();
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
      for (auto field : a.get_object().value_unsafe()) last.insert_or_assign(field.key, field.value);
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

  const auto want = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  // The reference skips a leading byte-order mark and takes a raw NUL byte for the end of
  // the text; JSON allows neither.
  const bool accepted = !want.is_discarded() && !text.starts_with("\xEF\xBB\xBF") &&
                        text.find('\0') == std::string_view::npos && depth(want) <= qm::json::kMaxDepth;
  FUZZ_CHECK(got.has_value() == accepted);
  if (got) FUZZ_CHECK(same(*got, want));
  return 0;
}
