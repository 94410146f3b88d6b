#pragma once
// Outside JSON that we keep and write back (a credentials document): read strictly, then held
// as a tree that can be changed and printed with every member we do not know preserved.
#include <nlohmann/json.hpp>
#include <simdjson.h>

namespace qm::json {

// A value that holds no other value (text, number, true/false, null) as a tree.
nlohmann::json leaf_tree(simdjson::dom::element value);

// The same value as a tree, each number made by `number(element)`, in document order: for a
// caller that keeps the numbers' own texts. Objects keep the last of repeated keys.
template <class Number>
nlohmann::json to_tree_with(simdjson::dom::element value, Number& number) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::OBJECT: {
      nlohmann::json out = nlohmann::json::object();
      simdjson::dom::object object = value.get_object().value_unsafe();  // not a temporary's member
      for (auto field : object) out[std::string(field.key)] = to_tree_with(field.value, number);
      return out;
    }
    case element_type::ARRAY: {
      nlohmann::json out = nlohmann::json::array();
      simdjson::dom::array array = value.get_array().value_unsafe();
      for (auto item : array) out.push_back(to_tree_with(item, number));
      return out;
    }
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return number(value);
    default: return leaf_tree(value);
  }
}

// The same value as a tree. Integers keep their signed or unsigned kind.
nlohmann::json to_tree(simdjson::dom::element value);

}  // namespace qm::json
