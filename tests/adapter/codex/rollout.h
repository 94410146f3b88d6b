#pragma once
// Rollout lines as Codex writes them, for the Codex reader's tests.
#include <cstdint>
#include <optional>
#include <string>

#include <fmt/core.h>

namespace qm::codex::testing {

struct Usage {
  std::uint64_t input = 0, cached = 0, output = 0, reasoning = 0, total = 0;
};

inline std::string usage_json(const Usage& u) {
  return fmt::format(
      R"({{"input_tokens":{},"cached_input_tokens":{},"output_tokens":{},"reasoning_output_tokens":{},"total_tokens":{}}})",
      u.input, u.cached, u.output, u.reasoning, u.total);
}

// A token_count event with last and/or total usage; `ts` is written as given (quote it).
inline std::string token_count(const std::string& ts, std::optional<Usage> last, std::optional<Usage> total = {},
                               const std::string& model_field = "") {
  std::string info;
  if (total) info += R"("total_token_usage":)" + usage_json(*total);
  if (last) info += std::string(info.empty() ? "" : ",") + R"("last_token_usage":)" + usage_json(*last);
  return fmt::format(R"({{"timestamp":{},"type":"event_msg","payload":{{"type":"token_count"{},"info":{{{}}}}}}})", ts,
                     model_field, info) +
         "\n";
}

inline std::string turn_context(const std::string& model) {
  return fmt::format(R"({{"timestamp":"2025-10-01T09:00:00.000Z","type":"turn_context","payload":{{"cwd":"/w","model":"{}"}}}})",
                     model) +
         "\n";
}

inline std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace qm::codex::testing
