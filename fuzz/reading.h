#pragma once
// The pieces of an input that a reader is expected to read alone as it reads them together:
// a text's lines, cut as the readers cut them, and a JSON document's elements.
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#include "reader/files.h"

namespace fuzzing {

// Each line followed by the JSON parser's padding.
inline std::vector<qm::reader::Text> lines_of(std::string_view text) {
  std::vector<qm::reader::Text> out;
  qm::reader::for_each_line(text, [&](std::string_view line) { out.emplace_back(std::string(line)); });
  return out;
}

// An element written out as JSON again (shortest numbers), to be embedded in a new document.
inline std::string json_text(simdjson::dom::element element) { return simdjson::to_string(element); }

}  // namespace fuzzing
