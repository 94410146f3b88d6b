#pragma once
// Whether standard output gets ANSI colour, and painting text with SGR codes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

enum class Style : std::uint8_t { Blue = 0, Cyan, Green, Grey, Magenta, Red, Yellow };

struct ConsoleSettings {
  bool color = false;
  std::optional<std::uint8_t> log_level;
  bool no_color = false;
};

namespace terminal::color {

int sgr_code(Style style);
// Decided anew on every call: --no-color, NO_COLOR, --color, FORCE_COLOR, then the terminal test.
bool color_enabled(bool color_flag, bool no_color_flag);
bool stdout_is_terminal();
std::string paint(const ConsoleSettings& settings, std::string_view text, Style style);

}  // namespace terminal::color
}  // namespace qm
