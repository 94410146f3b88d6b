#pragma once
// The strict parser by itself, for types that keep one from text to text: the library's
// parser sits behind a pointer, so that they need not see the library (json/strict.h, some
// 15,000 to 75,000 preprocessed lines). Units that look into what it parses include
// json/strict.h.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json/dom_fwd.h"

namespace qm::json {

// One parser per thread, reused for every line. Numbers the parser itself refuses are still
// read: an integer beyond 64 bits as a float, a number beyond a double's range as an
// infinity.
class StrictParser {
 public:
  StrictParser();
  StrictParser(StrictParser&&) noexcept;
  StrictParser& operator=(StrictParser&&) noexcept;
  ~StrictParser();
  // `text` must be followed by kPadding readable bytes (see LineReader). The element
  // stays valid until the next parse.
  std::optional<element> parse(std::string_view text);
  // For text without that guarantee (copies into an internal buffer).
  std::optional<element> parse_copy(std::string_view text);
  // Why the last parse gave none.
  std::string_view error() const { return error_; }
  // json::nested_deeper_than for `root`, the element that the last parse gave (from `text`):
  // mostly told by the length of what was parsed alone, without a look at the text.
  bool nested_deeper_than(std::string_view text, element root, std::size_t levels) const;

 private:
  std::optional<element> parse_wide_numbers(std::string_view text);
  std::unique_ptr<simdjson::dom::parser> parser_;
  std::string scratch_;
  std::string_view error_;
};

}  // namespace qm::json
