#include "worker_budget.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "parallel.h"

namespace qm::parallel {

struct HelpedDrain::Job {
  std::function<void()> drain;
  std::function<bool()> has_work;  // null: until a helper's drain returns
  std::size_t wanted = 0;          // helpers still to start
  std::size_t started = 0;
  std::size_t running = 0;         // helpers not yet back from the drain
  std::condition_variable finished;
  bool open = true;
};

namespace {

using Job = HelpedDrain::Job;

// A helper thread, kept for the life of the process: starting one costs far more than waking
// it, and each that ends changes the address space, which stalls every other worker.
struct Helper {
  std::condition_variable wake;
  Job* job = nullptr;  // given, not yet taken
};

struct Budget {
  std::mutex mutex;
  std::size_t workers = 1;
  // Slots free; below zero while the budget is lower than the slots held.
  std::ptrdiff_t free = 0;
  // Threads that lent their slot while they waited, waiting to take one back: they come
  // before new helpers, so that the threads at work stay within the budget.
  std::size_t reclaiming = 0;
  std::size_t awaiting = 0;          // threads that lent theirs until more are free
  std::condition_variable returned;  // a slot came free
  std::vector<Job*> open;            // drains that want helpers, oldest first
  std::vector<Helper*> idle;         // helpers waiting for a drain
  std::size_t helpers = 0;           // started, all told
  bool prestarted = false;           // start_helpers has run
};

Budget& budget() {
  static Budget* b = [] {
    auto* made = new Budget;
    made->workers = std::max<std::size_t>(1, available_processors());
    made->free = static_cast<std::ptrdiff_t>(made->workers) - 1;  // the main thread's
    return made;
  }();
  return *b;
}

void close(Budget& b, Job* job) {  // the lock held
  if (!job->open) return;
  job->open = false;
  std::erase(b.open, job);
}

void dispatch(Budget& b);

void give_back(Budget& b, std::size_t slots) {  // the lock held
  b.free += static_cast<std::ptrdiff_t>(slots);
  if (b.reclaiming > 0 || b.awaiting > 0) b.returned.notify_all();
  dispatch(b);
}

void serve(Helper* self) {
  Budget& b = budget();
  std::unique_lock lock(b.mutex);
  for (;;) {
    self->wake.wait(lock, [&] { return self->job != nullptr; });
    Job* job = std::exchange(self->job, nullptr);
    lock.unlock();
    job->drain();
    lock.lock();
    // The drain returned, so every task of it is taken: further helpers would find none.
    close(b, job);
    // Its owner may free the job once the last helper is back.
    if (--job->running == 0) job->finished.notify_all();
    b.idle.push_back(self);
    give_back(b, 1);
  }
}

// Gives the free slots to the oldest drains that want helpers and have tasks left (the lock
// held).
void dispatch(Budget& b) {
  while (b.free > static_cast<std::ptrdiff_t>(b.reclaiming) && !b.open.empty()) {
    Job* job = b.open.front();
    if (job->has_work && !job->has_work()) {
      close(b, job);
      continue;
    }
    if (b.idle.empty()) {
      auto* made = new Helper;
      try {
        std::thread(serve, made).detach();
      } catch (const std::system_error&) {
        delete made;
        return;  // tried again when a slot comes back
      }
      ++b.helpers;
      b.idle.push_back(made);
    }
    Helper* h = b.idle.back();
    b.idle.pop_back();
    h->job = job;
    h->wake.notify_one();
    --b.free;
    ++job->started;
    ++job->running;
    if (--job->wanted == 0) close(b, job);
  }
}

}  // namespace

void start_helpers() {
  Budget& b = budget();
  {
    std::lock_guard lock(b.mutex);
    if (b.prestarted || b.workers <= b.helpers + 1) return;
    b.prestarted = true;
    ++b.helpers;  // the starter, which serves last
  }
  // Each helper is counted as it is made, so that those a drain started meanwhile (it does
  // not wait for these) count against the same budget of threads.
  auto start = [] {
    Budget& b = budget();
    for (;;) {
      {
        std::lock_guard lock(b.mutex);
        if (b.helpers + 1 >= b.workers) break;
        ++b.helpers;
      }
      auto* made = new Helper;
      try {
        std::thread(serve, made).detach();
      } catch (const std::system_error&) {
        delete made;
        std::lock_guard lock(b.mutex);
        --b.helpers;
        break;
      }
      std::lock_guard lock(b.mutex);
      b.idle.push_back(made);
      // A drain that opened meanwhile may take it.
      dispatch(b);
    }
    auto* self = new Helper;
    {
      std::lock_guard lock(b.mutex);
      b.idle.push_back(self);
      dispatch(b);
    }
    serve(self);
  };
  try {
    std::thread(start).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(b.mutex);
    --b.helpers;
  }
}

std::size_t worker_budget() {
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  return b.workers;
}

void set_worker_budget(std::size_t workers) {
  workers = std::max<std::size_t>(1, workers);
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  b.free -= static_cast<std::ptrdiff_t>(b.workers);
  b.workers = workers;
  give_back(b, workers);
}

WorkerSlots::WorkerSlots(std::size_t wanted) {
  if (wanted == 0) return;
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  const std::ptrdiff_t free = b.free - static_cast<std::ptrdiff_t>(b.reclaiming);
  count_ = std::min(wanted, static_cast<std::size_t>(std::max<std::ptrdiff_t>(free, 0)));
  b.free -= static_cast<std::ptrdiff_t>(count_);
}

WorkerSlots::WorkerSlots(std::size_t wanted, Await) {
  if (wanted == 0) return;
  Budget& b = budget();
  std::unique_lock lock(b.mutex);
  auto free = [&] { return b.free - static_cast<std::ptrdiff_t>(b.reclaiming); };
  if (free() <= 0) {
    give_back(b, 1);
    ++b.awaiting;
    b.returned.wait(lock, [&] { return free() >= 2 || free() >= static_cast<std::ptrdiff_t>(b.workers); });
    --b.awaiting;
    --b.free;
  }
  count_ = std::min(wanted, static_cast<std::size_t>(std::max<std::ptrdiff_t>(free(), 0)));
  b.free -= static_cast<std::ptrdiff_t>(count_);
}

WorkerSlots::~WorkerSlots() {
  if (count_ == 0) return;
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  give_back(b, count_);
}

HelpedDrain::HelpedDrain(std::function<void()> drain, std::size_t helpers, std::function<bool()> has_work)
    : job_(std::make_unique<Job>()) {
  job_->drain = std::move(drain);
  job_->has_work = std::move(has_work);
  job_->wanted = helpers;
  if (helpers == 0) {
    job_->open = false;
    return;
  }
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  b.open.push_back(job_.get());
  dispatch(b);
}

HelpedDrain::~HelpedDrain() {
  Budget& b = budget();
  std::unique_lock lock(b.mutex);
  close(b, job_.get());
  if (job_->running == 0) return;
  // Lent while this thread only waits. Slot holders never wait for a thread that waits here,
  // so one comes back.
  give_back(b, 1);
  job_->finished.wait(lock, [&] { return job_->running == 0; });
  ++b.reclaiming;
  b.returned.wait(lock, [&] { return b.free > 0; });
  --b.reclaiming;
  --b.free;
}

std::size_t HelpedDrain::helpers() const {
  Budget& b = budget();
  std::lock_guard lock(b.mutex);
  return job_->started;
}

}  // namespace qm::parallel
