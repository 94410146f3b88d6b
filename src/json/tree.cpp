#include "json/tree.h"

namespace qm::json {

nlohmann::json to_tree(simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::OBJECT: {
      nlohmann::json out = nlohmann::json::object();
      simdjson::dom::object object = value.get_object().value_unsafe();
      for (auto field : object) out[std::string(field.key)] = to_tree(field.value);
      return out;
    }
    case element_type::ARRAY: {
      nlohmann::json out = nlohmann::json::array();
      simdjson::dom::array array = value.get_array().value_unsafe();
      for (auto item : array) out.push_back(to_tree(item));
      return out;
    }
    case element_type::STRING: return std::string(value.get_string().value_unsafe());
    case element_type::INT64: return value.get_int64().value_unsafe();
    case element_type::UINT64: return value.get_uint64().value_unsafe();
    case element_type::DOUBLE: return value.get_double().value_unsafe();
    case element_type::BOOL: return value.get_bool().value_unsafe();
    case element_type::NULL_VALUE: return nullptr;
  }
  return nullptr;
}

}  // namespace qm::json
