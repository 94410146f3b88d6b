#pragma once
// The pi-agent reader: session logs below ~/.pi/agent/sessions, one directory per project.
#include <expected>
#include <filesystem>
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

namespace qm::pi {

// A large file is cut into parts of `sizes`.
AgentLoadResult load_pi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                              const parallel::PartSizes& sizes = {});

// The path component after the first one named "sessions"; "unknown" without one.
std::string project_of(const std::filesystem::path& path);
// The file name without its last extension, from after its first "_" when it has one.
std::string session_id(const std::filesystem::path& path);

// The usage of one line of a session log, added to `log`. A line's meaning does not depend on
// the lines before it.
void read_line(std::string_view line, json::StrictParser& parser, openclaw::session_log::SessionLog& log);

// Appends the usages of the next part of the same file, which is left empty.
void append_part(openclaw::session_log::SessionLog& whole, openclaw::session_log::SessionLog&& part);
// A file's parts put together (reader/file_parts.h).
using LogJoin = reader::AppendJoin<openclaw::session_log::SessionLog, append_part>;

// One worker's reader of session files.
class FileReader : public reader::LineWorker<FileReader> {
 public:
  using LineWorker::LineWorker;
  // The usages of a file, or of one part of it. The error is the system's text when the file
  // cannot be opened or read.
  std::expected<openclaw::session_log::SessionLog, std::string> read(const std::filesystem::path& path,
                                                                     const jsonl::FilePart& part = {});

 private:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::pi
