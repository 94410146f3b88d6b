#pragma once
// One budget of worker threads for the whole process, shared by every reader however the
// readers nest: a thread that works holds a slot of it (the main thread one from the start),
// and a reader that wants more threads than its own gets only the slots that are free. The
// asking thread always works itself, so a reader that gets none still finishes.
#include <cstddef>
#include <functional>
#include <memory>

namespace qm::parallel {

// Threads that may work at once, the main thread among them (the processors by default).
std::size_t worker_budget();
// Sets it (at least 1); slots held meanwhile stay held, and the count is right once they are
// given back.
void set_worker_budget(std::size_t workers);

// Starts the helper threads that the budget has room for, on a thread of its own, so that
// the first drains wake them rather than wait while they start. Returns at once.
void start_helpers();

// Slots taken for threads that the holder starts itself: the count it asked for or what was
// free, maybe none. Given back when it goes.
class WorkerSlots {
 public:
  explicit WorkerSlots(std::size_t wanted);
  // For work that can take no helper once it has begun: with none free, the asking thread
  // lends its own slot and waits until two are free (or the whole budget), taking its own
  // back and what else is free, so that drains under way finish first and it then runs on
  // all the slots they give up.
  struct Await {};
  WorkerSlots(std::size_t wanted, Await);
  ~WorkerSlots();
  WorkerSlots(const WorkerSlots&) = delete;
  WorkerSlots& operator=(const WorkerSlots&) = delete;
  std::size_t count() const { return count_; }

 private:
  std::size_t count_ = 0;
};

// A drain that helper threads may join, each calling it once; a drain returns once every task
// of it is taken. Helpers start at once for the free slots and later, while the drain is
// open, whenever a slot comes free, up to `helpers` of them. `has_work`, when given, says
// (cheaply, under the budget's lock) whether tasks are left to take: a slot that comes free
// goes to a drain with some.
class HelpedDrain {
 public:
  HelpedDrain(std::function<void()> drain, std::size_t helpers, std::function<bool()> has_work = {});
  // Closes the drain to further helpers and waits for those that joined; this thread's slot
  // serves others meanwhile.
  ~HelpedDrain();
  HelpedDrain(const HelpedDrain&) = delete;
  HelpedDrain& operator=(const HelpedDrain&) = delete;
  // Helpers started so far.
  std::size_t helpers() const;

  struct Job;

 private:
  std::unique_ptr<Job> job_;
};

}  // namespace qm::parallel
