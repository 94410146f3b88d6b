#pragma once
// The parsed-document types by name, for headers that only pass them along: the parser
// (json/strict.h, simdjson.h) adds some 30,000 to 75,000 preprocessed lines to every unit
// that includes it. Include json/strict.h where a value is looked into, json/parser.h where a
// parser is kept.
#include <cstddef>

namespace simdjson::dom {
class element;
class object;
class parser;
}  // namespace simdjson::dom

namespace qm::json {

using simdjson::dom::element;
using simdjson::dom::object;
class StrictParser;

// Bytes past the end of a text that the parser may read (strict.h checks it against the
// parser's own figure).
inline constexpr std::size_t kPadding = 64;

}  // namespace qm::json
