#pragma once
// Image generations recorded in Codex rollouts: the harness view counts the distinct ones of
// the last 30 days and estimates what they would cost, since token prices leave them out.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jsonl_reader.h"

namespace qm::codex::images {

// The id a line records for an image generation call: the first quoted text that begins with
// "ig_". None when the line mentions no such call or the quote is not closed on the line.
std::optional<std::string_view> image_generation_id(std::string_view line);

// Whether a rollout's name dates it before `cutoff` ("YYYY-MM-DD"): "rollout-" followed by
// ten bytes that sort before it. A file named otherwise is read whatever its age.
bool named_before(const std::filesystem::path& file, std::string_view cutoff);

// Appends the ids of one file, in line order; false (nothing appended) when it cannot be read.
bool read_ids(jsonl::LineReader& reader, const std::filesystem::path& file, std::vector<std::string>& ids);

// Distinct ids over the rollouts of every Codex session directory, leaving out those named
// with a date before `cutoff`; 0 without a Codex home.
std::uint64_t count_image_generations(std::string_view cutoff, bool single_thread);

}  // namespace qm::codex::images
