#pragma once
// A clock that moves only when the code under test sleeps, and remembers each sleep.
#include <chrono>
#include <cstdint>
#include <vector>

#include "clock.h"

namespace qm::kit {

struct FakeClock {
  std::int64_t wall_ms = 0;
  std::int64_t monotonic_ms = 0;
  std::vector<std::chrono::milliseconds> sleeps;

  // Borrows this object, which must outlive the clock.
  clock::Clock clock() {
    return {[this] { return wall_ms; }, [this] { return monotonic_ms; },
            [this](std::chrono::milliseconds d) {
              sleeps.push_back(d);
              wall_ms += d.count();
              monotonic_ms += d.count();
            }};
  }
};

}  // namespace qm::kit
