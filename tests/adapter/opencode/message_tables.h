#pragma once
// Message tables as OpenCode and Kilo keep them, for the tests of both readers.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kit/sqlite.h"

namespace qm::kit {

inline constexpr std::int64_t kJune1Ms = 1'748'736'000'000;  // 2025-06-01T00:00:00Z
inline constexpr std::int64_t kDayMs = 86'400'000;

// A message as the agents write it into the data column; a member left empty is not written.
// Texts are plain (nothing to escape); `tokens` and `cost` are JSON as written.
struct Message {
  std::optional<std::string> id;
  std::optional<std::string> role = "assistant";
  std::string model;
  std::optional<std::string> provider;
  std::string tokens;
  std::optional<std::int64_t> created;  // and completed 900 ms later
  std::optional<std::string> cost;

  // The members in the order of their names.
  std::string text() const {
    std::string out;
    auto add = [&](const char* key, const std::string& json) {
      out += (out.empty() ? "{\"" : ",\"") + std::string(key) + "\":" + json;
    };
    auto quoted = [](const std::string& s) { return "\"" + s + "\""; };
    if (cost) add("cost", *cost);
    if (id) add("id", quoted(*id));
    add("modelID", quoted(model));
    if (provider) add("providerID", quoted(*provider));
    if (role) add("role", quoted(*role));
    if (created)
      add("time", "{\"completed\":" + std::to_string(*created + 900) + ",\"created\":" + std::to_string(*created) + "}");
    add("tokens", tokens);
    return out + "}";
  }
};

// An assistant message.
inline Message assistant_message(std::string model, std::string provider, std::string tokens, std::int64_t created) {
  Message m;
  m.model = std::move(model);
  m.provider = std::move(provider);
  m.tokens = std::move(tokens);
  m.created = created;
  return m;
}
inline std::string message_tokens(std::uint64_t input, std::uint64_t output, std::uint64_t reasoning = 0) {
  return R"({"cache":{"read":0,"write":0},"input":)" + std::to_string(input) + ",\"output\":" + std::to_string(output) +
         ",\"reasoning\":" + std::to_string(reasoning) + "}";
}

// A database with a table `message` of these (id, session_id, data) rows; ids may repeat.
inline void message_db(const std::filesystem::path& path, const std::vector<SqlRow>& rows) {
  SqliteFile(path)
      .exec("CREATE TABLE message (id TEXT, session_id TEXT, time_created INTEGER, data TEXT); BEGIN")
      .insert("message", {"id", "session_id", "data"}, rows)
      .exec("COMMIT");
}
inline SqlRow message_row(std::string id, const Message& data) { return {std::move(id), "ses_1", data.text()}; }

}  // namespace qm::kit
