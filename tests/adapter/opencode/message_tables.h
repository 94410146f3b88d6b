#pragma once
// Message tables as OpenCode and Kilo keep them, for the tests of both readers.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/sqlite.h"

namespace qm::kit {

inline constexpr std::int64_t kJune1Ms = 1'748'736'000'000;  // 2025-06-01T00:00:00Z
inline constexpr std::int64_t kDayMs = 86'400'000;

// An assistant message as the agents write it into the data column.
inline nlohmann::json assistant_message(std::string model, std::string provider, nlohmann::json tokens,
                                        std::int64_t created) {
  return {{"role", "assistant"}, {"modelID", std::move(model)}, {"providerID", std::move(provider)},
          {"tokens", std::move(tokens)}, {"time", {{"created", created}, {"completed", created + 900}}}};
}
inline nlohmann::json message_tokens(std::uint64_t input, std::uint64_t output, std::uint64_t reasoning = 0) {
  return {{"input", input}, {"output", output}, {"reasoning", reasoning}, {"cache", {{"write", 0}, {"read", 0}}}};
}

// A database with a table `message` of these (id, session_id, data) rows; ids may repeat.
inline void message_db(const std::filesystem::path& path, const std::vector<SqlRow>& rows) {
  SqliteFile(path)
      .exec("CREATE TABLE message (id TEXT, session_id TEXT, time_created INTEGER, data TEXT); BEGIN")
      .insert("message", {"id", "session_id", "data"}, rows)
      .exec("COMMIT");
}
inline SqlRow message_row(std::string id, const nlohmann::json& data) { return {std::move(id), "ses_1", data.dump()}; }

}  // namespace qm::kit
