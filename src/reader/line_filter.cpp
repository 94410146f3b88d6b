#include "reader/line_filter.h"

#include <array>

#include "fast.h"

namespace qm::reader {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool name_character(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.'; }

}  // namespace

bool mentions(std::string_view line, std::string_view text) {
  return fast::find_text(line, text) != std::string_view::npos;
}

bool may_spell_names(std::string_view line) {
  // Every such escape begins with these four bytes; texts hold many of them (colours,
  // accented letters), so the places are taken a batch at a time.
  constexpr std::string_view kEscape = "\\u00";
  std::array<std::size_t, 32> at;
  for (std::size_t from = 0;;) {
    const std::size_t n = fast::find_all(line, kEscape, from, at);
    for (std::size_t i = 0; i < n; ++i) {
      if (at[i] + 6 > line.size()) continue;
      const int high = hex_value(line[at[i] + 4]), low = hex_value(line[at[i] + 5]);
      if (high >= 0 && low >= 0 && name_character(high * 16 + low)) return true;
    }
    if (n < at.size()) return false;
    from = at[n - 1] + 1;
  }
}

bool may_name(std::string_view line, std::initializer_list<std::string_view> quoted) {
  for (auto text : quoted)
    if (mentions(line, text)) return true;
  return may_spell_names(line);
}

}  // namespace qm::reader
