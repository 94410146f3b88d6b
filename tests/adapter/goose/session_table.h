#pragma once
// The sessions table as Goose keeps it, for every test that builds a Goose database.
#include <string_view>

namespace qm::kit {

inline constexpr std::string_view kGooseSessionsTable =
    "CREATE TABLE sessions (id TEXT, model_config_json TEXT, provider_name TEXT, created_at TEXT, "
    "total_tokens INTEGER, input_tokens INTEGER, output_tokens INTEGER, accumulated_total_tokens INTEGER, "
    "accumulated_input_tokens INTEGER, accumulated_output_tokens INTEGER)";

}  // namespace qm::kit
