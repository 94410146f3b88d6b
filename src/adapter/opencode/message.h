#pragma once
// What the OpenCode and Kilo readers share: both agents keep their chat messages in a table
// `message` of (id, session_id, data), data being the message as a JSON object, and both
// keep their data directories below the user's data directory.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"
#include "json/strict.h"
#include "reader/roots.h"
#include "reader/sqlite.h"
#include "reader/values.h"

namespace qm::opencode::message {

inline constexpr std::string_view kQuery = "SELECT id, session_id, data FROM message";

// The entries of the list variable that are directories, when it is set; else
// ~/.local/share/<name> and $XDG_DATA_HOME/<name>, those that are directories, once each.
std::expected<std::vector<std::filesystem::path>, std::string> data_dirs(const char* variable, std::string_view name,
                                                                         reader::NoHome no_home);

// The counts of a message's "tokens" reconciled with its reported "total": the block, and
// the extra (reasoning) count, which starts from "reasoning" when `with_reasoning`.
struct Tokens {
  TokenUsageRaw block;
  std::uint64_t extra = 0;

  bool any() const;
  // The block as it is priced: the extra count is output.
  TokenUsageRaw priced() const;
  // Every token of the message, for the unpriced marker.
  std::uint64_t sum() const;
};
Tokens tokens_of(reader::MaybeElement tokens, bool with_reasoning);

// Runs the message query over one database and calls on_message(id, session id, data) for
// each row whose three columns are present and whose data is JSON. The views last until
// the next row.
template <typename OnMessage>
void for_each_message(const std::filesystem::path& db, std::string_view label, bool debug, json::StrictParser& parser,
                      OnMessage&& on_message) {
  reader::for_each_row(db, label, kQuery, debug, [&](const reader::Row& row) {
    const auto id = row.text(0);
    const auto session = row.text(1);
    const auto data = row.text(2);
    if (!id || !session || !data) return;
    if (const auto doc = parser.parse_copy(*data)) on_message(*id, *session, *doc);
  });
}

}  // namespace qm::opencode::message
