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

bool mentions_quoted(std::string_view line, std::string_view text) {
  // One at a time: the scan stops at the first quoted one, mostly near the line's start.
  for (std::size_t at = fast::find_text(line, text); at != std::string_view::npos;
       at = fast::find_text(line, text, at + 1))
    if (at > 0 && line[at - 1] == '"') return true;
  return false;
}

bool may_spell_names(std::string_view line) {
  // The scan stops only at escapes of a few characters (not at accented letters or colours,
  // which texts hold many of); the last digit decides.
  for (std::size_t at = fast::find_name_escape(line); at != std::string_view::npos;
       at = fast::find_name_escape(line, at + 1)) {
    if (at + 6 > line.size()) continue;
    const int high = hex_value(line[at + 4]), low = hex_value(line[at + 5]);
    if (high >= 0 && low >= 0 && name_character(high * 16 + low)) return true;
  }
  return false;
}

bool may_name(std::string_view line, std::initializer_list<std::string_view> texts) {
  for (auto text : texts)
    if (mentions_quoted(line, text)) return true;
  return may_spell_names(line);
}

}  // namespace qm::reader
