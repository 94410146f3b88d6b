#pragma once
// The OpenClaw reader: session logs and their rotated copies below its data directories;
// the model is announced by model-change lines and the agent records each reply's cost.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "adapter/openclaw/session_log.h"
#include "json/parser.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "pricing/table.h"
#include "reader/file_parts.h"
#include "reader/line_worker.h"

namespace qm::openclaw::parser {

// A large file is cut into parts of `sizes`.
AgentLoadResult load_openclaw_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                    const parallel::PartSizes& sizes = {});

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

// The usages of a part of a file, and the model its lines left current.
struct PartLog {
  session_log::SessionLog log;
  CurrentModel current;
};

// The parts of one file put together in order, as if read in one (reader/file_parts.h): each
// part after the first (read by a LogFold that did not begin at the file's start) takes the
// model the parts before it left current. A part's usages are let go as they are added.
class LogJoin {
 public:
  explicit LogJoin(PartLog first) : whole_(std::move(first.log)), current_(first.current) {}
  void add(PartLog part);
  session_log::SessionLog take() { return std::move(whole_); }

 private:
  session_log::SessionLog whole_;
  CurrentModel current_;
};

// One worker's reader of session files.
class FileReader : public reader::LineWorker<FileReader> {
 public:
  using LineWorker::LineWorker;
  // The error is the system's text when the file cannot be opened or read.
  std::expected<session_log::SessionLog, std::string> read(const std::filesystem::path& path);
  std::expected<PartLog, std::string> read(const std::filesystem::path& path, const jsonl::FilePart& part,
                                           std::int64_t file_time);

 private:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::openclaw::parser
