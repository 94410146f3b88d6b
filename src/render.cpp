#include "render.h"

#include <cmath>
#include <cstdio>

#include "log.h"
#include "terminal/width.h"

#include <algorithm>
#include <vector>

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

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];
  int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string format_usd(double amount) { return "$" + format_fixed(amount, 2); }

std::string repeat(std::string_view text, std::size_t count) {
  std::string out;
  out.reserve(text.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += text;
  return out;
}

std::size_t cells(double fraction, std::size_t of) {
  double n = std::round(fraction * static_cast<double>(of));
  if (!(n > 0)) return 0;
  return n >= static_cast<double>(of) ? of : static_cast<std::size_t>(n);
}

std::size_t bar_cells(double value, double maximum, std::size_t of) {
  if (!(value > 0) || !(maximum > 0)) return 0;
  return std::clamp<std::size_t>(cells(value / maximum, of), 1, of);
}

}  // namespace qm::render

namespace qm::render {

std::string pad_right(std::string_view text, std::size_t width) {
  std::size_t w = terminal::width::display_width(text);
  std::string out(text);
  if (w < width) out.append(width - w, ' ');
  return out;
}

std::size_t widest(const std::vector<std::string>& texts) {
  std::size_t w = 0;
  for (const auto& t : texts) w = std::max(w, terminal::width::display_width(t));
  return w;
}

std::string pad_left(std::string_view text, std::size_t width) {
  std::size_t w = terminal::width::display_width(text);
  std::string out;
  if (w < width) out.append(width - w, ' ');
  out += text;
  return out;
}

std::string box_text(std::string_view text, const ConsoleSettings& console) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (;;) {
    auto nl = text.find('\n', start);
    std::string_view line = text.substr(start, nl == std::string_view::npos ? text.npos : nl - start);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  std::size_t w = 40;
  for (auto l : lines) w = std::max(w, terminal::width::display_width(l));
  std::string out = "\n";
  out += "╭" + repeat("─", w + 4) + "╮\n";
  out += "│" + std::string(w + 4, ' ') + "│\n";
  for (auto l : lines) {
    std::size_t dw = terminal::width::display_width(l);
    std::size_t pad = w + 2 > dw ? w + 2 - dw : 0;
    std::size_t left = pad / 2, right = pad - left;
    out += "│ " + std::string(left, ' ') + terminal::color::paint(console, l, Style::Blue) + std::string(right, ' ') +
           " │\n";
  }
  out += "│" + std::string(w + 4, ' ') + "│\n";
  out += "╰" + repeat("─", w + 4) + "╯\n";
  out += "\n";
  return out;
}

std::string heading_box(std::string_view text, bool color_flag, bool no_color_flag) {
  auto console = console_settings(color_flag, no_color_flag);
  if (console.log_level && *console.log_level == 0) return {};
  return box_text(text, console);
}

}  // namespace qm::render
