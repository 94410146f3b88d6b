#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace qm::fast {

// Next line of `rest` (without its line feed; a carriage return stays) and advances.
// The text after the last line feed is a line when not empty.
inline std::optional<std::string_view> next_line(std::string_view& rest) {
  if (rest.empty()) return std::nullopt;
  auto nl = rest.find('\n');
  std::string_view line;
  if (nl == std::string_view::npos) {
    line = rest;
    rest = {};
  } else {
    line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
  }
  return line;
}

// The first `needle` in `text` at or after `from`, or npos. Much faster than
// std::string_view::find for needles that begin with a common byte such as a quote.
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from = 0);

// The positions of `needle` at or after `from` (overlapping ones too), in order, until `out`
// is full; their number. A full `out` may leave more: go on after the last one.
std::size_t find_all(std::string_view text, std::string_view needle, std::size_t from, std::span<std::size_t> out);

// The last `c` in `text`, or npos.
std::size_t find_last(std::string_view text, char c);

// How many bytes of `text` are `a` or `b`.
std::size_t count_either(std::string_view text, char a, char b);

// The first place at or after `from` that holds "\u00" and then '2' or '4' to '7': where a JSON
// text may spell an ASCII letter, '_' or '.' (or a mark of punctuation) with an escape. npos
// when there is none.
std::size_t find_name_escape(std::string_view text, std::size_t from = 0);

// The scans above use the widest vectors the processor offers; these the narrowest, whatever
// it offers, so that tests cover both.
namespace narrow {
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from = 0);
std::size_t find_all(std::string_view text, std::string_view needle, std::size_t from, std::span<std::size_t> out);
std::size_t find_last(std::string_view text, char c);
std::size_t count_either(std::string_view text, char a, char b);
std::size_t find_name_escape(std::string_view text, std::size_t from = 0);
}  // namespace narrow

}  // namespace qm::fast
