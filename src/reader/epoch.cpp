#include "reader/epoch.h"

#include <cmath>

namespace qm::reader {

std::optional<std::int64_t> seconds_to_ms(std::int64_t seconds) {
  std::int64_t ms;
  if (__builtin_mul_overflow(seconds, std::int64_t{1000}, &ms)) return std::nullopt;
  return ms;
}

std::optional<std::int64_t> seconds_to_ms(double seconds) {
  double ms = std::trunc(seconds * 1000.0);
  // 2^63 itself does not fit; every double below it in magnitude does.
  if (!std::isfinite(ms) || std::fabs(ms) >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(ms);
}

std::optional<std::int64_t> seconds_or_ms(std::int64_t value, std::int64_t ms_above) {
  if (value > ms_above) return value;
  return seconds_to_ms(value);
}

}  // namespace qm::reader
