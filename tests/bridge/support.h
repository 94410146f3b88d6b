#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kit/env.h"
#include "kit/run.h"

namespace pellox::testing {

// A private directory under /tmp (socket paths must stay short), removed
// with everything in it.
class TempDir {
 public:
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  qm::kit::TempDir dir_{"/tmp"};
  std::string path_ = dir_.path().string();
};

// The descriptor number the next open would get: unchanged across a call
// means the call left no descriptor open.
int lowestFreeDescriptor();

// Writes the pieces one after another, each only once the peer has read all
// of the one before, so that the reader sees them in separate reads.
void writeInPieces(int fd, const std::vector<std::string>& pieces);

// Whether a connection waits on the listening descriptor, without accepting it.
bool connectionPending(int listenFd);

// The companion application's side for one connection: accepts, reads the
// request line, then runs the script on the connection and closes it.
class Companion {
 public:
  using Script = std::function<void(int fd)>;

  explicit Companion(std::string path);
  ~Companion();

  void serve(Script script);
  // Waits for the connection to end; what came in is then readable.
  void finish();

  const std::string& path() const { return path_; }
  int listenFd() const { return listen_fd_; }
  bool accepted() const { return accepted_; }
  const std::optional<std::string>& request() const { return request_; }
  // Whether the bridge closed its end after the request line without being answered.
  bool closedAfterRequest() const { return closed_after_request_; }

  static Script reply(std::string bytes);
  static Script replyInPieces(std::vector<std::string> pieces);
  // Writes the bytes, then ends its side of the stream.
  static Script replyAndHangUp(std::string bytes);
  static Script silent();

 private:
  std::string path_;
  int listen_fd_ = -1;
  std::thread thread_;
  bool accepted_ = false;
  std::optional<std::string> request_;
  bool closed_after_request_ = false;
};

using Run = qm::kit::RunResult;

// Runs the built pellox-bridge with exactly this environment and input.
Run runBridge(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
              const std::string& input);

}  // namespace pellox::testing
