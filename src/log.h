#pragma once
// LOG_LEVEL and the --debug diagnostic lines (standard error only).
#include <cstdint>
#include <optional>
#include <string_view>

namespace qm::log {

// LOG_LEVEL as an optional "+"-prefixed decimal of at most 255; anything else is none.
std::optional<std::uint8_t> log_level();
std::optional<std::uint8_t> parse_log_level(std::string_view text);

// Price-list warnings are written only above level 3.
bool debug_enabled();

// LOG_LEVEL unset or not 0: the spinner and the boxed panels may draw.
bool output_enabled();

void debug_print(bool enabled, std::string_view message);

}  // namespace qm::log
