#pragma once
// Outside JSON that we keep and write back (a credentials document): read strictly, then held
// as a tree that can be changed and printed with every member we do not know preserved.
#include <nlohmann/json.hpp>
#include <simdjson.h>

namespace qm::json {

// The same value as a tree. Integers keep their signed or unsigned kind; objects keep the
// last of repeated keys.
nlohmann::json to_tree(simdjson::dom::element value);

}  // namespace qm::json
