#include "parallel.h"

#include <sched.h>

#include <algorithm>

namespace qm::parallel {

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t worker_count(std::size_t files, bool single_thread) {
  if (single_thread) return 1;
  return std::min(files, available_processors());
}

}  // namespace qm::parallel
