#include "exit_signals.h"

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "subprocess.h"

// A handler may only use what is safe in a signal handler: lock-free atomics, write(2)
// (`subprocess::write_all` is a loop around it), unlink(2), clock_gettime, sigaction and
// raise. So everything it needs is prepared beforehand in fixed storage, and the writers
// coordinate with it through the atomics (sequentially consistent throughout: either a
// writer sees `g_ending`, or the handler sees the writer's flag and waits).
namespace qm::exit_signals {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
Slot g_slots[8];

std::atomic<bool> g_ending{false};    // a handler has begun: nothing more is written or held
std::atomic<bool> g_handling{false};  // one handler ends the process; the others leave it to it
std::atomic<bool> g_writing{false};
std::atomic<const char*> g_undo{nullptr};
std::atomic<std::size_t> g_undo_size{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<const char*>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free);

sigset_t exit_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  return set;
}

// No handler runs on this thread while the guard lives: it would wait for the very write it
// interrupted.
class Deferred {
 public:
  Deferred() {
    const sigset_t set = exit_set();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~Deferred() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  Deferred(const Deferred&) = delete;
  Deferred& operator=(const Deferred&) = delete;

 private:
  sigset_t old_;
};

// Waits for a screen write under way; a terminal that takes no more output (stopped by
// the user) gets a quarter of a second.
bool screen_quiet() {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (g_writing.load()) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long waited_ns = (now.tv_sec - start.tv_sec) * 1'000'000'000LL + (now.tv_nsec - start.tv_nsec);
    if (waited_ns > 250'000'000LL) return false;
  }
  return true;
}

void on_exit_signal(int sig) {
  if (g_handling.exchange(true)) return;
  g_ending.store(true);
  if (screen_quiet())
    if (const char* undo = g_undo.load()) subprocess::write_all(2, std::string_view(undo, g_undo_size.load()));
  for (auto& slot : g_slots)
    if (slot.state.load() == kHeld) ::unlink(slot.path);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // Blocked until the handler returns; then the default action ends the process.
  raise(sig);
}

}  // namespace

void install() {
  struct sigaction sa {};
  sa.sa_handler = on_exit_signal;
  sa.sa_mask = exit_set();
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

RemovedOnSignal::RemovedOnSignal(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.size() >= PATH_MAX) return;
  for (int i = 0; i < static_cast<int>(std::size(g_slots)); ++i) {
    Slot& slot = g_slots[i];
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
    // A handler that has begun may be reading a path it saw held: leave every buffer alone.
    if (g_ending.load()) {
      slot.state.store(kFree);
      return;
    }
    std::memcpy(slot.path, text.c_str(), text.size() + 1);
    slot.state.store(kHeld);
    slot_ = i;
    return;
  }
}

RemovedOnSignal::~RemovedOnSignal() {
  if (slot_ >= 0) g_slots[slot_].state.store(kFree);
}

bool write_screen(std::string_view bytes, std::string_view undo) {
  Deferred deferred;
  while (g_writing.exchange(true)) {
  }
  bool wrote = false;
  if (!g_ending.load()) {
    subprocess::write_all(2, bytes);
    g_undo_size.store(undo.size());
    g_undo.store(undo.empty() ? nullptr : undo.data());
    wrote = true;
  }
  g_writing.store(false);
  return wrote;
}

}  // namespace qm::exit_signals
