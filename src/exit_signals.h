#pragma once
// Ending on SIGINT, SIGTERM or SIGHUP: the terminal left as it was found, no temporary file
// left behind, and the parent told which signal ended the process.
#include <filesystem>
#include <string_view>

namespace qm::exit_signals {

// Installs the handlers. A handler erases a line still on screen (see `write_screen`),
// removes the files held by `RemovedOnSignal`, then ends the process by the same signal.
// A signal ignored when the process started (nohup, a background job) stays ignored.
void install();

// A file the handlers remove, for the life of the guard: taken before the file is created,
// dropped once it has been renamed or removed. A few can be held at once; beyond that, or
// for a path longer than PATH_MAX, the file is not covered.
class RemovedOnSignal {
 public:
  explicit RemovedOnSignal(const std::filesystem::path& path);
  ~RemovedOnSignal();
  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

 private:
  int slot_ = -1;
};

// Writes `bytes` on standard error, after which the screen holds a line that `undo` takes
// away again (empty when nothing is left to take away); `undo` must outlive the process.
// A handler waits for a write under way, writes the pending undo, and from then on nothing
// more is written: the result is false.
bool write_screen(std::string_view bytes, std::string_view undo);

}  // namespace qm::exit_signals
