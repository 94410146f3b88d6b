#include "terminal/color.h"

#include <unistd.h>

#include <cstdlib>

namespace qm::terminal::color {

int sgr_code(Style style) {
  static constexpr int kCodes[] = {34, 36, 32, 90, 35, 31, 33};
  return kCodes[static_cast<int>(style)];
}

bool stdout_is_terminal() { return ::isatty(1) == 1; }

bool color_enabled(bool color_flag, bool no_color_flag) {
  if (no_color_flag) return false;
  if (std::getenv("NO_COLOR")) return false;
  if (color_flag) return true;
  if (std::getenv("FORCE_COLOR")) return true;
  return stdout_is_terminal();
}

std::string paint(const ConsoleSettings& settings, std::string_view text, Style style) {
  if (!color_enabled(settings.color, settings.no_color)) return std::string(text);
  std::string out = "\x1b[" + std::to_string(sgr_code(style)) + "m";
  out += text;
  out += "\x1b[0m";
  return out;
}

}  // namespace qm::terminal::color
