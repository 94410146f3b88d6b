#include "clock.h"

#include <thread>

#include "date_utils.h"

namespace qm::clock {

const Clock& system() {
  static const Clock real{
      date_utils::now_ms,
      [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      },
      // sleep_for resumes after a signal until the interval is over.
      [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
  };
  return real;
}

}  // namespace qm::clock
