#pragma once
// What the tests of the agent readers share beside their price tables (kit/pricing.h): load
// options, the cost modes, and a run of the built program for one agent.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "adapter/all/loader.h"
#include "kit/env.h"
#include "kit/pricing.h"
#include "parallel.h"

namespace qm::kit {

// Report zone UTC and the given cost mode.
all::loader::LoadOptions reader_options(CostMode mode = CostMode::Auto);

// The input tokens of all rows of a reader's result; a failure is reported and gives 0.
std::uint64_t input_tokens(const AgentLoadResult& result);

// For a fixture holding one call of a priced model that costs `cost` and one call of the
// unpriced model "nowhere", on one day: auto and calculate compute the cost and mark
// "nowhere"; display computes nothing and marks nothing.
void expect_computed_cost_modes(const std::function<AgentLoadResult(CostMode)>& load, double cost);

// The reader's result counts `input` input tokens and says it could not read one file,
// `path`, for `reason`: the rest of its usage is still there.
void expect_one_unread(const AgentLoadResult& result, std::uint64_t input, const std::filesystem::path& path,
                       std::string_view reason);

// A reader's result with every file cut into parts of many sizes, down to one byte (so that
// each line is a part of its own), read by several workers, is the result of each file read
// whole by one worker. `load` reads with these options and part sizes; the fixture is
// expected to give some usage.
void expect_parts_read_as_whole(
    const std::function<AgentLoadResult(const all::loader::LoadOptions&, const parallel::PartSizes&)>& load);

// A row's metadata as the program writes it (all::types::metadata_json), compact: "null"
// for none. Text, so that a test compares it without building JSON of its own.
std::string metadata_text(const std::optional<RowMetadata>& metadata);

// The share of a model in a row; null when the row has none.
const ModelUsage* model_usage(const UsageRow& row, std::string_view model);

// Unsets every variable that a home directory is found from.
void unset_home(EnvGuard& env);

// Runs `quillimare summary --agents <agent> --offline --json` with this home and expects
// the agent in the document.
void expect_agent_reported(const std::filesystem::path& home, std::string_view agent);

}  // namespace qm::kit
