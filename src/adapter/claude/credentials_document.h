#pragma once
// The credentials document as a tree that is written back with every number we do not read
// as it was written. A generic tree turns an integer beyond 64 bits into a float and prints
// every float in its own digits (and -0 as 0); such a number is held as its text instead.
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace qm::claude::credentials {

// The text, trimmed, read strictly, when it is one JSON object. Integers that fit 64 bits
// keep their kind; a number that the tree would print otherwise is held as its text.
std::optional<nlohmann::json> read_document(std::string_view text);

// Compact, keys sorted, numbers held as text written as they are.
std::string document_text(const nlohmann::json& document);

// A number held as its text: the tree value and, back, the text.
nlohmann::json number_as_text(std::string_view token);
std::optional<std::string_view> number_text(const nlohmann::json& value);

}  // namespace qm::claude::credentials
