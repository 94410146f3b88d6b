#pragma once
// Checked conversions of epoch times to milliseconds: a value that does not fit gives none
// instead of wrapping into a time in another century.
#include <cstdint>
#include <optional>

namespace qm::reader {

std::optional<std::int64_t> seconds_to_ms(std::int64_t seconds);
// The fraction of a millisecond is cut; NaN, infinities and values beyond the range: none.
std::optional<std::int64_t> seconds_to_ms(double seconds);
// A number that is milliseconds when above `ms_above`, else seconds.
std::optional<std::int64_t> seconds_or_ms(std::int64_t value, std::int64_t ms_above);

}  // namespace qm::reader
