#include "render.h"

#include <cmath>
#include <cstdio>

#include "log.h"

namespace qm::render {

ConsoleSettings console_settings(bool color_flag, bool no_color_flag) {
  return ConsoleSettings{color_flag, log::log_level(), no_color_flag};
}

std::string paint_str(bool color_flag, bool no_color_flag, std::string_view text, Style style) {
  return terminal::color::paint(console_settings(color_flag, no_color_flag), text, style);
}

std::string paint_string(bool color_flag, bool no_color_flag, std::string text, Style style) {
  if (!terminal::color::color_enabled(color_flag, no_color_flag)) return text;
  return paint_str(color_flag, no_color_flag, text, style);
}

std::string format_usd(double amount) {
  if (std::isnan(amount)) return "$NaN";
  if (std::isinf(amount)) return amount > 0 ? "$inf" : "$-inf";
  char buf[400];
  int n = std::snprintf(buf, sizeof buf, "$%.2f", amount);
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace qm::render
