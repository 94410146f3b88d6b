#include "adapter/kilo/reader.h"

#include <algorithm>

#include "adapter/opencode/message_rows.h"
#include "reader/epoch.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/usage_list.h"

namespace qm::kilo {
namespace {

namespace fs = std::filesystem;
namespace message = opencode::message;

constexpr std::int64_t kMillisecondsFrom = 1'000'000'000'000;

}  // namespace

RowKeys::RowKeys(const fs::path& db) : prefix(db.native() + ':') { hashed.add(prefix); }

std::optional<message::Counted> count_message(const RowKeys& keys, std::string_view id_column, json::element data,
                                              CostMode mode, message::RecentPrices& prices, reader::KeptTexts& kept) {
  const message::Members members = message::members_of(data);
  if (message::string(members.role) != "assistant" || !members.tokens) return std::nullopt;
  const message::Tokens tokens = message::tokens_of(members.tokens, true);
  if (!tokens.any()) return std::nullopt;
  const auto model = message::text(members.model_id);
  const auto created = message::created(members.time);
  if (!model || !created || *created <= 0) return std::nullopt;
  const auto time = *created < kMillisecondsFrom ? reader::seconds_to_ms(*created) : created;
  if (!time) return std::nullopt;
  message::Counted r;
  r.set_tokens(tokens);
  r.time_ms = *time;

  if (auto id = message::text(members.id)) {
    r.keep_key(*id, kept);
  } else {
    // The database's path begins the key of each of its rows: kept once.
    r.keep_key(keys.prefix, id_column, reader::KeyHasher(keys.hashed).add(id_column).done(), kept);
  }
  r.model = kept.keep_name(*model);

  const auto recorded = message::amount(members.cost);
  if (mode == CostMode::Display) {
    r.cost = recorded.value_or(0.0);
    return r;
  }
  // The names are looked up only for a cost to compute or a marker that may be due.
  const bool recorded_cost = mode == CostMode::Auto && recorded;
  const bool may_be_unpriced = !(recorded && *recorded > 0);
  if (recorded_cost && !may_be_unpriced) {
    r.cost = *recorded;
    return r;
  }
  const auto provider = message::text(members.provider_id);
  const auto& names = prices.candidates(*model, provider.value_or(""), [&] { return price_candidates(*model, provider); });
  r.cost = pricing::cost_for(mode, recorded, pricing::CostRule::FirstPriced, names.prices, tokens.priced());
  r.unpriced = may_be_unpriced && prices.prices().unpriced(names, tokens.sum());
  return r;
}

std::vector<std::string> price_candidates(std::string_view model, std::optional<std::string_view> provider) {
  std::vector<std::string> names;
  if (provider) {
    std::string p(*provider);
    std::replace(p.begin(), p.end(), '-', '_');
    if (p != "unknown" && p != "kilo") names.push_back(p + "/" + std::string(model));
  }
  reader::add_candidate(names, std::string(model));
  return names;
}

AgentLoadResult load_kilo_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Kilo, options);
  // Without a home there is no default directory, and no error.
  auto dirs = message::data_dirs("KILO_DATA_DIR", "kilo", reader::NoHome::Empty);
  if (!dirs) return run.fail(dirs.error());
  const CostMode mode = options.common.mode;
  reader::UsageList usages(options.zone);
  reader::SeenKeys seen;  // record ids, over all databases
  for (const auto& dir : *dirs) {
    const fs::path db = dir / "kilo.db";
    std::error_code ec;
    if (!fs::is_regular_file(db, ec)) continue;
    auto make_parse = [&] {
      return [keys = RowKeys(db), mode, prices = message::RecentPrices(&table)](
                 std::string_view id, json::element data, reader::KeptTexts& kept) mutable {
        return count_message(keys, id, data, mode, prices, kept);
      };
    };
    message::read_messages(db, "Kilo", options.common.debug, reader::row_workers(options.common.single_thread),
                           make_parse, seen, usages, run.unread());
  }
  return run.finish(usages);
}

}  // namespace qm::kilo
