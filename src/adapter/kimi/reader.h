#pragma once
// The Kimi reader: the per-session event logs sessions/<a>/<b>/wire.jsonl of its data
// directories, whose status updates carry each model step's tokens. The log does not name
// the model: the data directory's config.json does.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "pricing/table.h"
#include "reader/file_parts.h"
#include "reader/file_usage.h"
#include "reader/line_worker.h"
#include "reader/seen.h"

namespace qm::kimi {

// The model of a data directory without a usable config.json.
inline constexpr std::string_view kDefaultModel = "kimi-for-coding";
// The default model is priced as kimi-k2.6 from this instant on, as kimi-k2.5 before it.
inline constexpr std::int64_t kK26SinceMs = 1776698890072;

using KimiWireUsage = reader::ParsedUsage;

// A large file is cut into parts of `sizes`.
AgentLoadResult load_kimi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                const parallel::PartSizes& sizes = {});

// The usage of one line of a wire file; none for every other line. `line` is followed by
// readable bytes (the file's or the parser's padding).
std::optional<KimiWireUsage> parse_wire_line(std::string_view line, json::StrictParser& parser,
                                             std::string_view session_id, std::string_view model, std::int64_t file_time);

// The data directory's model: config.json's "model", else the default.
std::string configured_model(const std::filesystem::path& root, json::StrictParser& parser);

std::vector<std::string> price_candidates(std::string_view model, std::int64_t time_ms);

// A status update of a wire file, each but the first of equal ones dropped: its counts, its
// time and its key (the number of its message id, time and counts in the file's keys).
struct Update : reader::Item {
  std::uint32_t key = 0;
};
struct WireFile : reader::KeyedItems<Update> {
  std::string session;  // these two read by a file's first part
  std::string model;
};

// Appends the updates of the next part of the same file but those equal to one before them;
// the part is left empty.
void append_part(WireFile& whole, WireFile&& part);
// A file's parts put together (reader/file_parts.h).
using WireJoin = reader::AppendJoin<WireFile, append_part>;

// One worker's reader of wire files.
class WireReader : public reader::LineWorker<WireReader> {
 public:
  using LineWorker::LineWorker;
  using LineWorker::read;
  // The updates of a file, or of one part of it; the first part reads the model too. The
  // error is the system's text when the file cannot be opened or read.
  std::expected<WireFile, std::string> read(const std::filesystem::path& path, const jsonl::FilePart& part,
                                            std::int64_t file_time);

 private:
  reader::KeyBytes key_;
};

}  // namespace qm::kimi
