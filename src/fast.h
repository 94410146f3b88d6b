#pragma once
#include <optional>
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

}  // namespace qm::fast
