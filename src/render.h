#pragma once
// Console settings, painting and the dollar text shared by the screens.
#include <string>
#include <string_view>
#include <vector>

#include "terminal/color.h"

namespace qm::render {

ConsoleSettings console_settings(bool color_flag, bool no_color_flag);
std::string paint_str(bool color_flag, bool no_color_flag, std::string_view text, Style style);
std::string paint_string(bool color_flag, bool no_color_flag, std::string text, Style style);

// The float with that many decimals, the last one rounded to nearest; "NaN", "inf", "-inf"
// for the values that have no digits.
std::string format_fixed(double value, int decimals);

// "$" and the amount with two decimals, no thousands separator.
std::string format_usd(double amount);

// The text `count` times over (bars and box lines).
std::string repeat(std::string_view text, std::size_t count);

// The nearest whole number of cells for `fraction` of `of` (halves away from zero), within
// 0 to `of`; a fraction that is not a number gives 0.
std::size_t cells(double fraction, std::size_t of);
// The filled cells of a bar of `of` cells for `value` against `maximum`: none unless both are
// above 0, else at least one.
std::size_t bar_cells(double value, double maximum, std::size_t of);

}  // namespace qm::render

namespace qm::render {

// The heading box; nothing when LOG_LEVEL is 0.
std::string heading_box(std::string_view text, bool color_flag, bool no_color_flag);
std::string box_text(std::string_view text, const ConsoleSettings& console);

// Pads to a number of terminal columns (display width, so non-ASCII names line up).
std::string pad_right(std::string_view text, std::size_t width);
std::string pad_left(std::string_view text, std::size_t width);
// The display width of the widest text (a column's width).
std::size_t widest(const std::vector<std::string>& texts);

}  // namespace qm::render
