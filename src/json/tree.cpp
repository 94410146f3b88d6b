#include "json/tree.h"

namespace qm::json {

nlohmann::json leaf_tree(simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::STRING: return std::string(value.get_string().value_unsafe());
    case element_type::INT64: return value.get_int64().value_unsafe();
    case element_type::UINT64: return value.get_uint64().value_unsafe();
    case element_type::DOUBLE: return value.get_double().value_unsafe();
    case element_type::BOOL: return value.get_bool().value_unsafe();
    case element_type::NULL_VALUE: return nullptr;
    case element_type::OBJECT:
    case element_type::ARRAY: break;
  }
  return nullptr;
}

nlohmann::json to_tree(simdjson::dom::element value) {
  auto number = [](simdjson::dom::element leaf) { return leaf_tree(leaf); };
  return to_tree_with(value, number);
}

}  // namespace qm::json
