#pragma once
// The OpenCode and Kilo message table read row by row and each message parsed on a worker:
// apart from message.h, as it needs the parser's document types in full.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include "adapter/opencode/message.h"
#include "json/strict.h"
#include "reader/row_workers.h"
#include "reader/sqlite.h"
#include "reader/values.h"
#include "util.h"

namespace qm::opencode::message {

// The members of a message that the readers look at, found in one pass over its object: a
// repeated key keeps its first value, as reader::members gives it; all none when the data is
// no object.
struct Members {
  reader::MaybeElement role, tokens, model_id, provider_id, time, id, cost;
};
Members members_of(reader::MaybeElement data);

// Runs the message query over one database. Rows whose three columns are present and whose
// data is JSON that may hold tokens go to `parse(id, data, kept) -> std::optional<Item>` on a
// worker (make_parse() gives one per worker); `consume` then takes the items on this
// thread in row order, a batch at a time, and `discard` drops what it took when the rows are
// read again (see for_each_parsed_row).
template <typename Item, typename MakeParse, typename Consume, typename Discard, typename ExpectRows = reader::AnyRows>
reader::DatabaseRead for_each_message(const std::filesystem::path& db, std::string_view label, bool debug,
                                      std::size_t workers, MakeParse make_parse, Consume consume, Discard discard,
                                      ExpectRows expect_rows = {}) {
  static constexpr reader::Column kColumns[] = {reader::Column::Text, reader::Column::Text, reader::Column::Text};
  auto make_row_parse = [&] {
    return [json = json::StrictParser(), parse = make_parse()](const reader::RowView& row,
                                                               reader::KeptTexts& kept) mutable -> std::optional<Item> {
      const auto id = row.text(0);
      const auto data = row.bytes(2);
      if (!id || row.is_null(1) || !data || !may_hold_tokens(*data)) return std::nullopt;
      // The parser checks the UTF-8 itself: the text is made (lossy) only when that fails.
      auto doc = json.parse(row.padded(2, *data));
      if (!doc && !util::is_valid_utf8(*data)) doc = json.parse_copy(*row.text(2));
      if (!doc) return std::nullopt;
      return parse(*id, *doc, kept);
    };
  };
  return reader::for_each_parsed_row<Item>(db, label, kQuery, debug, kColumns, workers, make_row_parse, consume, discard,
                                           kQuerySpans, expect_rows);
}

// Reads one database's messages into the usages (see for_each_message), dropping what a read
// done again would count twice; an unreadable database goes to `unread`.
template <typename MakeParse>
void read_messages(const std::filesystem::path& db, std::string_view label, bool debug, std::size_t workers,
                   MakeParse make_parse, reader::SeenKeys& seen, reader::UsageList& usages, UnreadFiles& unread) {
  const std::size_t usages_before = usages.size(), seen_before = seen.size();
  for_each_message<Counted>(
      db, label, debug, workers, make_parse,
      [&](std::span<const std::optional<Counted>> messages, const reader::KeptTexts& kept) {
        add(messages, kept, seen, usages);
      },
      [&] {
        usages.truncate(usages_before);
        seen.truncate(seen_before);
      },
      [&](std::uint64_t rows) {
        // A message with a record id holds more than this many bytes of the file: sparse
        // rowids make no room beyond what the file can hold.
        constexpr std::uintmax_t kLeastMessageBytes = 64;
        std::error_code ec;
        const std::uintmax_t bytes = std::filesystem::file_size(db, ec);
        if (!ec) seen.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(rows, bytes / kLeastMessageBytes)));
      })
      .add_to(unread, db);
}

}  // namespace qm::opencode::message
