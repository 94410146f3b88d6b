#include "util_json.h"

#include <cmath>
#include <unordered_map>

#include <simdjson.h>

namespace qm::util {

std::optional<std::uint64_t> value_as_u64(std::optional<simdjson::dom::element> value) {
  if (!value) return std::nullopt;
  switch (value->type()) {
    case simdjson::dom::element_type::INT64: {
      std::int64_t v = value->get_int64().value_unsafe();
      if (v < 0) return std::nullopt;
      return static_cast<std::uint64_t>(v);
    }
    case simdjson::dom::element_type::UINT64:
      return value->get_uint64().value_unsafe();
    default:
      return std::nullopt;
  }
}

bool is_positive_number(simdjson::dom::element value) {
  double d;
  switch (value.type()) {
    case simdjson::dom::element_type::INT64: d = static_cast<double>(value.get_int64().value_unsafe()); break;
    case simdjson::dom::element_type::UINT64: d = static_cast<double>(value.get_uint64().value_unsafe()); break;
    case simdjson::dom::element_type::DOUBLE: d = value.get_double().value_unsafe(); break;
    default: return false;
  }
  return std::isfinite(d) && d > 0;
}

std::optional<simdjson::dom::element> member(simdjson::dom::element object, std::string_view key) {
  simdjson::dom::object obj;
  if (object.get_object().get(obj)) return std::nullopt;
  simdjson::dom::element v;
  if (obj.at_key(key).get(v)) return std::nullopt;
  return v;
}

std::vector<std::pair<std::string_view, simdjson::dom::element>> unique_members(simdjson::dom::object object) {
  std::vector<std::pair<std::string_view, simdjson::dom::element>> out;
  std::unordered_map<std::string_view, std::size_t> place;
  for (auto [key, value] : object) {
    auto [it, added] = place.try_emplace(key, out.size());
    if (added) out.emplace_back(key, value);
    else out[it->second].second = value;
  }
  return out;
}

std::optional<simdjson::dom::element> last_member(simdjson::dom::element object, std::string_view key) {
  simdjson::dom::object obj;
  if (object.get_object().get(obj)) return std::nullopt;
  std::optional<simdjson::dom::element> found;
  for (auto field : obj)
    if (field.key == key) found = field.value;
  return found;
}

}  // namespace qm::util
