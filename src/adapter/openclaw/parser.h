#pragma once
// The OpenClaw reader: session logs and their rotated copies below its data directories;
// the model is announced by model-change lines and the agent records each reply's cost.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "adapter/all/loader.h"
#include "adapter/all/types.h"
#include "adapter/openclaw/session_log.h"
#include "json/strict.h"
#include "jsonl_reader.h"
#include "pricing/table.h"

namespace qm::openclaw::parser {

AgentLoadResult load_openclaw_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// The file name up to its first ".jsonl" (the whole name when that is empty): a log and
// its rotated copies share it.
std::string session_id(const std::filesystem::path& path);

// The model the lines read so far left current: a label of the log's models, none before the
// first model change; not known in a part that began after the file's start until the part
// announces one.
struct CurrentModel {
  bool known = true;
  std::uint32_t label = reader::Names::kNone;
};

// The lines of a session file, or of one part of it, in order. Each line's meaning depends on
// the lines before it only through the current model.
class LogFold {
 public:
  // `at_file_start`: the part begins with the file, with no model yet.
  LogFold(session_log::SessionLog& log, std::int64_t file_time, bool at_file_start);
  void line(std::string_view line, json::StrictParser& parser);
  const CurrentModel& current() const { return current_; }

 private:
  session_log::SessionLog* log_;
  std::int64_t file_time_;
  CurrentModel current_;
};

// Appends the next part of the same file (read by a LogFold that did not begin at the file's
// start) to what was read before it, which left `current`; `current` becomes the model the
// part leaves current.
void join(session_log::SessionLog& whole, CurrentModel& current, const session_log::SessionLog& part,
          const CurrentModel& part_current);

// One worker's reader of session files.
class FileReader {
 public:
  explicit FileReader(std::size_t chunk = 1 << 18) : lines_(chunk) {}
  std::expected<session_log::SessionLog, std::string> read(const std::filesystem::path& path);

 private:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::openclaw::parser
