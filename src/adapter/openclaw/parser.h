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

// One worker's reader of session files.
class FileReader {
 public:
  std::expected<session_log::SessionLog, std::string> read(const std::filesystem::path& path);

 private:
  struct State {
    std::optional<std::string> model;
    std::optional<std::string> provider;
    std::int64_t file_time = 0;
  };
  void read_line(std::string_view line, State& state, session_log::SessionLog& log);

  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::openclaw::parser
