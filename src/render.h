#pragma once
// Console settings, painting and the dollar text shared by the screens.
#include <string>
#include <string_view>

#include "terminal/color.h"

namespace qm::render {

ConsoleSettings console_settings(bool color_flag, bool no_color_flag);
std::string paint_str(bool color_flag, bool no_color_flag, std::string_view text, Style style);
std::string paint_string(bool color_flag, bool no_color_flag, std::string text, Style style);

// "$" and the amount with two decimals, no thousands separator.
std::string format_usd(double amount);

}  // namespace qm::render
