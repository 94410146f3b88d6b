// The process-wide worker budget: readers nested in readers, and readers that start threads
// of their own, never work on more threads at once than it allows, a budget of one still
// finishes, and slots that come free join a drain under way.
#include "worker_budget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "parallel.h"

namespace qm::parallel {
namespace {

class WorkerBudget : public ::testing::Test {
 protected:
  void TearDown() override { set_worker_budget(available_processors()); }
};

// Threads inside a task at once, and the most there were.
struct Busy {
  std::atomic<int> now = 0, most = 0;

  void work() {
    const int n = ++now;
    for (int seen = most.load(); n > seen && !most.compare_exchange_weak(seen, n);) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    --now;
  }
};

TEST_F(WorkerBudget, ReadersTogetherNeverExceedIt) {
  std::vector<std::filesystem::path> files;
  for (int i = 0; i < 24; ++i) files.emplace_back("file-" + std::to_string(i));
  for (std::size_t budget : {1u, 2u, 3u}) {
    set_worker_budget(budget);
    Busy busy;
    constexpr std::size_t kAgents = 6;
    std::vector<std::vector<std::size_t>> got(kAgents);
    std::vector<std::size_t> own_threads(kAgents);
    // Agents side by side as the loader runs them: each maps its files on workers of its
    // own, and every other one also starts threads of its own for the slots it is given.
    run_tasks(kAgents, kAgents, [&](std::size_t agent) {
      std::optional<WorkerSlots> slots;
      std::vector<std::thread> own;
      if (agent % 2) {
        slots.emplace(8);
        own_threads[agent] = slots->count();
        for (std::size_t t = 0; t < slots->count(); ++t) own.emplace_back([&] {
            for (int i = 0; i < 10; ++i) busy.work();
          });
      }
      got[agent] = map_files<std::size_t>(files, 8, [&] {
        return [&](const std::filesystem::path& f) {
          busy.work();
          return std::stoul(f.string().substr(5)) * 10 + agent;
        };
      });
      for (auto& t : own) t.join();
    });
    for (std::size_t agent = 0; agent < kAgents; ++agent) {
      ASSERT_EQ(got[agent].size(), files.size());
      for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(got[agent][i], i * 10 + agent) << budget;
      EXPECT_LT(own_threads[agent], budget) << budget;
    }
    EXPECT_LE(static_cast<std::size_t>(busy.most.load()), budget) << budget;
    if (budget > 1) {
      EXPECT_GT(busy.most.load(), 1) << budget;
    }
  }
}

TEST_F(WorkerBudget, SlotsGiveWhatIsFreeAndComeBack) {
  set_worker_budget(4);  // the main thread holds one
  {
    WorkerSlots most(10);
    EXPECT_EQ(most.count(), 3u);
    EXPECT_EQ(WorkerSlots(1).count(), 0u);
    set_worker_budget(5);
    EXPECT_EQ(WorkerSlots(3).count(), 1u);
    set_worker_budget(2);  // below what is held: nothing free until enough comes back
    EXPECT_EQ(WorkerSlots(1).count(), 0u);
  }
  EXPECT_EQ(WorkerSlots(5).count(), 1u);
}

TEST_F(WorkerBudget, AwaitingSlotsWaitsForTwoFreeOrTheWholeBudget) {
  set_worker_budget(1);
  EXPECT_EQ(WorkerSlots(4, WorkerSlots::Await{}).count(), 0u);  // alone: no wait
  set_worker_budget(3);
  std::optional<WorkerSlots> held(std::in_place, 2);
  ASSERT_EQ(held->count(), 2u);
  std::atomic<bool> given = false;
  std::atomic<std::size_t> got = 0;
  std::thread reader([&] {
    const WorkerSlots slots(5, WorkerSlots::Await{});
    given = true;
    got = slots.count();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(given.load());
  held.reset();
  reader.join();
  EXPECT_EQ(got.load(), 2u);  // its own slot back, and the two given up
  EXPECT_EQ(WorkerSlots(5).count(), 2u);
}

TEST_F(WorkerBudget, FreedSlotsJoinADrainUnderWay) {
  set_worker_budget(2);
  std::optional<WorkerSlots> held(std::in_place, 1);
  ASSERT_EQ(held->count(), 1u);
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::thread::id> helper;
  const auto self = std::this_thread::get_id();
  std::atomic<std::size_t> tasks = 0;
  // This thread takes the first task, with no slot free; once it gives the held one back a
  // helper starts and takes the next.
  run_tasks(20, 8, [&](std::size_t i) {
    ++tasks;
    if (i == 0) {
      held.reset();
      std::unique_lock lock(mutex);
      cv.wait_for(lock, std::chrono::seconds(20), [&] { return helper.has_value(); });
      return;
    }
    if (std::this_thread::get_id() == self) return;
    std::lock_guard lock(mutex);
    helper = std::this_thread::get_id();
    cv.notify_all();
  });
  EXPECT_EQ(tasks.load(), 20u);
  EXPECT_TRUE(helper.has_value());
}

// Helper threads outlive their drains (and may be started ahead), so a later drain starts
// none of its own; and a drain whose tasks are all taken is passed over for one that still
// has some.
TEST_F(WorkerBudget, HelpersAreKeptAndGoWhereTasksAreLeft) {
  set_worker_budget(4);
  start_helpers();  // drains opened while they start get them as they come
  auto helper_tids = [] {
    std::mutex mutex;
    std::set<pid_t> tids;
    const pid_t self = gettid();
    run_tasks(64, 4, [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      std::lock_guard lock(mutex);
      if (gettid() != self) tids.insert(gettid());
    });
    return tids;
  };
  auto seen = helper_tids();
  ASSERT_FALSE(seen.empty());
  for (int round = 0; round < 3; ++round) {
    const auto now = helper_tids();
    EXPECT_TRUE(std::ranges::any_of(now, [&](pid_t tid) { return seen.contains(tid); })) << round;
    seen.insert(now.begin(), now.end());
  }
  // Those started ahead and those a drain started meanwhile share one budget of threads (at
  // most one more may be on its way while a drain starts its own).
  EXPECT_LE(seen.size(), 4u);

  set_worker_budget(2);
  std::optional<WorkerSlots> held(std::in_place, 1);
  ASSERT_EQ(held->count(), 1u);
  std::atomic<bool> ran_empty = false;
  HelpedDrain empty([&] { ran_empty = true; }, 1, [] { return false; });
  std::atomic<bool> helped = false;
  const pid_t self = gettid();
  run_tasks(2, 2, [&](std::size_t i) {
    if (i == 0) {
      held.reset();
      for (int spins = 0; spins < 20000 && !helped; ++spins) std::this_thread::sleep_for(std::chrono::microseconds(100));
      return;
    }
    if (gettid() != self) helped = true;
  });
  EXPECT_TRUE(helped.load());
  EXPECT_EQ(empty.helpers(), 0u);
  EXPECT_FALSE(ran_empty.load());
}

}  // namespace
}  // namespace qm::parallel
