#pragma once
// What the OpenCode and Kilo readers share: both agents keep their chat messages in a table
// `message` of (id, session_id, data), data being the message as a JSON object, and both
// keep their data directories below the user's data directory.
#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"
#include "json/strict.h"
#include "pricing/table.h"
#include "reader/counts.h"
#include "reader/prices.h"
#include "reader/roots.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/sqlite.h"
#include "reader/usage_list.h"
#include "reader/values.h"
#include "util.h"

namespace qm::opencode::message {

inline constexpr std::string_view kQuery = "SELECT id, session_id, data FROM message";
// The same rows, a span of rowids at a time (a table's rows come in rowid order).
inline constexpr reader::RowidSpans kQuerySpans{
    "SELECT (SELECT min(rowid) FROM message), (SELECT max(rowid) FROM message)",
    "SELECT id, session_id, data FROM message WHERE rowid BETWEEN ?1 AND ?2 ORDER BY rowid", 2048};

// The entries of the list variable that are directories, when it is set; else
// ~/.local/share/<name> and $XDG_DATA_HOME/<name>, those that are directories, once each.
std::expected<std::vector<std::filesystem::path>, std::string> data_dirs(const char* variable, std::string_view name,
                                                                         reader::NoHome no_home);

// The members of a message that the readers look at, found in one pass over its object: a
// repeated key keeps its first value, as reader::members gives it; all none when the data is
// no object.
struct Members {
  reader::MaybeElement role, tokens, model_id, provider_id, time, id, cost;
};
Members members_of(reader::MaybeElement data);

// values.h's readers of the members every message is read for, over the member where it is
// (a member passed on by value is copied at every call): reader::string, reader::text (a
// string that needs no trimming told without looking inside it), reader::amount, and
// reader::integer(reader::at(time, "created")).
std::optional<std::string_view> string(const reader::MaybeElement& v);
std::optional<std::string_view> text(const reader::MaybeElement& v);
std::optional<double> amount(const reader::MaybeElement& v);
std::optional<std::int64_t> created(const reader::MaybeElement& time);

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

// A message made ready on a worker: counts, time and price, its texts kept beside its batch.
// As small as it goes: the consumer reads every one.
struct Counted {
  reader::Counts counts;
  std::int64_t time_ms = 0;
  double cost = 0.0;
  static constexpr std::uint32_t kNoPrefix = UINT32_MAX;
  std::uint64_t key_hash = 0;
  reader::TextRef key;  // the record id, when has_key; a message without one is never dropped
  std::uint32_t key_prefix = kNoPrefix;  // the number of the name the record id begins with
  std::uint32_t model = 0;               // the number of its name in the batch's texts
  bool has_key = false;
  bool unpriced = false;

  // The counts of the block (its cache writes as one count) and the extra count.
  void set_tokens(const Tokens& tokens);
  bool any_tokens() const { return counts.any(); }
  // Keeps the record id for the test against the ids met before; a prefix that many ids
  // share (a database's path) is kept once a batch.
  void keep_key(std::string_view id, reader::KeptTexts& kept);
  void keep_key(std::string_view prefix, std::string_view rest, std::uint64_t hash, reader::KeptTexts& kept);
};
// A worker's price lookups, in front of which the candidates of the last few models and
// providers are kept: a table's next messages mostly repeat them.
class RecentPrices {
 public:
  explicit RecentPrices(const pricing::PricingTable* table) : prices_(table) {}
  reader::Prices& prices() { return prices_; }

  // Prices::candidates(model, qualifier, make_names), found among the recent ones first.
  template <typename MakeNames>
  const reader::Candidates& candidates(std::string_view model, std::string_view qualifier, MakeNames&& make_names) {
    for (const Recent& r : recent_)
      if (r.candidates && r.model == model && r.qualifier == qualifier) return *r.candidates;
    Recent& r = recent_[next_++ % recent_.size()];
    r.model.assign(model);
    r.qualifier.assign(qualifier);
    // The map's values stay where they are as it grows.
    r.candidates = &prices_.candidates(model, qualifier, make_names);
    return *r.candidates;
  }

 private:
  struct Recent {
    std::string model, qualifier;
    const reader::Candidates* candidates = nullptr;
  };
  reader::Prices prices_;
  std::array<Recent, 4> recent_;
  std::size_t next_ = 0;
};

// Adds the messages to the usages, each unless its record id was met before.
void add(std::span<const std::optional<Counted>> messages, const reader::KeptTexts& kept, reader::SeenKeys& seen,
         reader::UsageList& usages);


// Whether a message's text can hold a member "tokens": not when the name is nowhere in it,
// not even spelt with escapes. Neither reader counts a message without tokens, so the
// others (the user's messages) are not parsed.
bool may_hold_tokens(std::string_view data);

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
