#pragma once
// Starting a thread where the system may have none to give.
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace qm::parallel {

// Starts a thread; false (nothing thrown) when the system has none to give.
template <typename Fn>
bool start_thread(std::vector<std::thread>& threads, Fn&& fn) {
  try {
    threads.emplace_back(std::forward<Fn>(fn));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace qm::parallel
