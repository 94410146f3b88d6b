#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "adapter/all/registry.h"
#include "exit_signals.h"

namespace qm::progress {

struct ProgressState {
  std::mutex mutex;
  std::vector<std::pair<AgentKind, AgentLoadState>> agents;  // first-registration order
  std::optional<std::string> message;
  std::uint64_t frame = 0;
  bool drawn = false;
};

struct StopSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool running = true;
  std::thread thread;  // joined by the owner before the last handle lets go
};
namespace {

constexpr const char* kFrames[10] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
// Back to the line's start, erase it, hide the cursor, then the glyph in cyan.
constexpr std::string_view kFrameStart = "\r\x1b[K\x1b[?25l\x1b[36m";
// Erases the frame and shows the cursor again: on stopping, or from a signal handler.
constexpr std::string_view kEraseFrame = "\r\x1b[K\x1b[?25h";

thread_local std::shared_ptr<ProgressState> t_slot;

void spin(std::shared_ptr<ProgressState> state, std::shared_ptr<StopSignal> stop) {
  for (;;) {
    {
      std::lock_guard lock(state->mutex);
      std::string line = format_line(state->agents, state->message);
      if (!line.empty()) {
        const std::string frame = std::string(kFrameStart) + kFrames[state->frame % 10] + "\x1b[39m " + line;
        if (exit_signals::write_screen(frame, kEraseFrame)) {
          ++state->frame;
          state->drawn = true;
        }
      }
    }
    std::unique_lock lock(stop->mutex);
    if (!stop->running) return;
    stop->cv.wait_for(lock, std::chrono::milliseconds(80), [&] { return !stop->running; });
    if (!stop->running) return;
  }
}

}  // namespace

std::string format_line(const std::vector<std::pair<AgentKind, AgentLoadState>>& agents,
                        const std::optional<std::string>& message) {
  if (agents.empty()) return message.value_or("");
  std::size_t done = 0;
  std::string pending;
  for (const auto& [kind, st] : agents) {
    if (st != AgentLoadState::Loading) {
      ++done;
      continue;
    }
    if (!pending.empty()) pending += ", ";
    pending += all::registry::agent(kind).display_name;
  }
  std::string line = "Loading usage logs (" + std::to_string(done) + "/" + std::to_string(agents.size()) + ")";
  if (!pending.empty()) line += " :: " + pending;
  if (message) line = *message + " :: " + line;
  return line;
}

Progress start_spinner(bool enabled) {
  Progress p;
  if (!enabled) return p;
  p.active_ = true;
  if (t_slot) {
    p.state_ = t_slot;
    return p;
  }
  p.state_ = std::make_shared<ProgressState>();
  p.stop_ = std::make_shared<StopSignal>();
  p.owner_ = true;
  p.stop_->thread = std::thread(spin, p.state_, p.stop_);
  t_slot = p.state_;
  return p;
}

void stop_spinner(Progress& h) {
  if (h.stopped_ || !h.active_ || !h.owner_) {
    h.stopped_ = true;
    return;
  }
  h.stopped_ = true;
  {
    std::lock_guard lock(h.stop_->mutex);
    h.stop_->running = false;
  }
  h.stop_->cv.notify_all();
  if (h.stop_->thread.joinable()) h.stop_->thread.join();
  {
    std::lock_guard lock(h.state_->mutex);
    if (h.state_->drawn) exit_signals::write_screen(kEraseFrame, {});
    h.state_->agents.clear();
    h.state_->message.reset();
  }
  if (t_slot == h.state_) t_slot.reset();
}

void mark(Progress& h, AgentKind kind, AgentLoadState state) {
  if (!h.active_) return;
  std::lock_guard lock(h.state_->mutex);
  for (auto& [k, s] : h.state_->agents) {
    if (k == kind) {
      s = state;
      return;
    }
  }
  h.state_->agents.emplace_back(kind, state);
}

void set_message(Progress& h, std::optional<std::string> message) {
  if (!h.active_) return;
  std::lock_guard lock(h.state_->mutex);
  h.state_->message = std::move(message);
}

bool spinner_enabled() { return ::isatty(1) == 1; }

std::string render_line(const Progress& h) {
  if (!h.active_) return {};
  std::lock_guard lock(h.state_->mutex);
  return format_line(h.state_->agents, h.state_->message);
}

Progress::Progress(Progress&& o) noexcept { *this = std::move(o); }

Progress& Progress::operator=(Progress&& o) noexcept {
  if (this != &o) {
    stop_spinner(*this);
    state_ = std::move(o.state_);
    stop_ = std::move(o.stop_);
    active_ = std::exchange(o.active_, false);
    owner_ = std::exchange(o.owner_, false);
    stopped_ = std::exchange(o.stopped_, true);
  }
  return *this;
}

Progress::~Progress() { stop_spinner(*this); }

}  // namespace qm::progress
