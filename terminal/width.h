#pragma once
#include <cstddef>
#include <string_view>

namespace qm::terminal::width {

// Terminal columns a text takes: ANSI control sequences count 0, wide characters 2.
std::size_t display_width(std::string_view text);

}  // namespace qm::terminal::width
