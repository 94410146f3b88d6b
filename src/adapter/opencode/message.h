#pragma once
// What the OpenCode and Kilo readers share: both agents keep their chat messages in a table
// `message` of (id, session_id, data), data being the message as a JSON object, and both
// keep their data directories below the user's data directory. The query run over the
// table, which looks into the parsed messages, is in message_rows.h.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"
#include "reader/counts.h"
#include "reader/maybe_element.h"
#include "reader/prices.h"
#include "reader/roots.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/usage_list.h"

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

}  // namespace qm::opencode::message
