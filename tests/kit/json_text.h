#pragma once
// Looking into the JSON document a run of the program printed, a member at a time, named by
// JSON pointer ("/daily/0/tokens"): the tests that check a figure or two of a run need no
// JSON library of their own.
#include <cstddef>
#include <string>
#include <string_view>

namespace qm::kit {

// The member as compact JSON text ("42", "1.0", "\"codex\"", "null", "[...]"); "<none>" when
// the document is no JSON or has no such member.
std::string json_at(std::string_view document, std::string_view pointer);
// The number of elements or members of the array or object there; 0 for anything else.
std::size_t json_size(std::string_view document, std::string_view pointer);
// The string there, as text; "<none>" when there is none.
std::string json_string(std::string_view document, std::string_view pointer);
// The number there; NaN when there is none.
double json_number(std::string_view document, std::string_view pointer);

}  // namespace qm::kit
