#pragma once
// Time as the code that waits and stamps sees it, so that tests can drive it without waiting.
#include <chrono>
#include <cstdint>
#include <functional>

namespace qm::clock {

struct Clock {
  std::function<std::int64_t()> now_ms;        // wall clock, milliseconds since the epoch
  std::function<std::int64_t()> monotonic_ms;  // for deadlines; never goes back
  std::function<void(std::chrono::milliseconds)> sleep;  // the whole interval, signals or not
};

// The real clocks and sleep.
const Clock& system();

}  // namespace qm::clock
