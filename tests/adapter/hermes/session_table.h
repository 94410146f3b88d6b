#pragma once
// The sessions table as Hermes keeps it, for every test that builds a Hermes database.
#include <string_view>

namespace qm::kit {

inline constexpr std::string_view kHermesSessionsTable =
    "CREATE TABLE sessions (id TEXT PRIMARY KEY, model TEXT, billing_provider TEXT, started_at REAL, "
    "message_count INTEGER, input_tokens INTEGER, output_tokens INTEGER, cache_read_tokens INTEGER, "
    "cache_write_tokens INTEGER, reasoning_tokens INTEGER, estimated_cost_usd REAL, actual_cost_usd REAL)";

}  // namespace qm::kit
