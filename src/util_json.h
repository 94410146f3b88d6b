#pragma once
// Small helpers on values of a parsed JSON document, kept apart from util.h so that what
// includes util.h does not compile the parser.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "json/dom_fwd.h"

namespace qm::util {

// JSON values of the parsed document tree.
std::optional<std::uint64_t> value_as_u64(std::optional<simdjson::dom::element> value);
bool is_positive_number(simdjson::dom::element value);
// A member of an object, or none when the value is not an object or lacks the key.
std::optional<simdjson::dom::element> member(simdjson::dom::element object, std::string_view key);
// The last member of that key, as a reader that keeps objects as maps sees it.
std::optional<simdjson::dom::element> last_member(simdjson::dom::element object, std::string_view key);
// The members of an object as a map keeps them: each key once, at its first place, with the
// value of its last occurrence.
std::vector<std::pair<std::string_view, simdjson::dom::element>> unique_members(simdjson::dom::object object);

}  // namespace qm::util
