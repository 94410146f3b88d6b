#pragma once
// The loading spinner: one line on standard error while the agents load.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter/all/agent_kind.h"

namespace qm::progress {

enum class AgentLoadState : std::uint8_t { Loading = 0, Done = 1, Skipped = 2 };

// Shared by the handles of a thread and the spinner thread; defined where they are used, so
// that every reader including this header does not pull in the threading headers.
struct ProgressState;
struct StopSignal;

// A handle. Only the first enabled handle of a thread owns the spinner thread; later
// enabled handles on that thread share its state; a disabled handle does nothing.
class Progress {
 public:
  Progress() = default;
  Progress(Progress&&) noexcept;
  Progress& operator=(Progress&&) noexcept;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();

  bool active() const { return active_; }

 private:
  friend Progress start_spinner(bool enabled);
  friend void stop_spinner(Progress& handle);
  friend void mark(Progress& handle, AgentKind kind, AgentLoadState state);
  friend void set_message(Progress& handle, std::optional<std::string> message);
  friend std::string render_line(const Progress& handle);

  std::shared_ptr<ProgressState> state_;
  std::shared_ptr<StopSignal> stop_;  // with the spinner thread, for the owner
  bool active_ = false;
  bool owner_ = false;
  bool stopped_ = false;
};

Progress start_spinner(bool enabled);
void stop_spinner(Progress& handle);
void mark(Progress& handle, AgentKind kind, AgentLoadState state);
inline void mark_loading(Progress& h, AgentKind k) { mark(h, k, AgentLoadState::Loading); }
inline void mark_done(Progress& h, AgentKind k) { mark(h, k, AgentLoadState::Done); }
inline void mark_skipped(Progress& h, AgentKind k) { mark(h, k, AgentLoadState::Skipped); }
void set_message(Progress& handle, std::optional<std::string> message);

// Whether standard output is a terminal.
bool spinner_enabled();

// The text of the current frame after the glyph (empty when there is nothing to show).
std::string render_line(const Progress& handle);
std::string format_line(const std::vector<std::pair<AgentKind, AgentLoadState>>& agents,
                        const std::optional<std::string>& message);

}  // namespace qm::progress
