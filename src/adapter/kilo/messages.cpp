#include "adapter/kilo/messages.h"

#include <algorithm>

#include "adapter/opencode/message.h"
#include "reader/reader.h"

namespace qm::kilo {
namespace {

namespace fs = std::filesystem;
namespace message = opencode::message;

constexpr std::int64_t kMillisecondsFrom = 1'000'000'000'000;

struct Reading {
  const all::loader::LoadOptions& options;
  reader::Prices prices;
  reader::UsageList usages;
  reader::SeenKeys seen;  // record ids, over all databases
  std::string key;        // the record id being built
};

void add_message(Reading& r, const fs::path& db, std::string_view id_column, json::element data) {
  if (reader::string(reader::at(data, "role")) != "assistant") return;
  const auto tokens_member = reader::at(data, "tokens");
  if (!tokens_member) return;
  const auto tokens = message::tokens_of(tokens_member, true);
  if (!tokens.any()) return;
  const auto model = reader::text(reader::at(data, "modelID"));
  const auto created = reader::integer(reader::at(data, {"time", "created"}));
  if (!model || !created || *created <= 0) return;
  const auto time = *created < kMillisecondsFrom ? reader::seconds_to_ms(*created) : created;
  if (!time) return;

  if (auto id = reader::text(reader::at(data, "id"))) {
    r.key.assign(*id);
  } else {
    r.key.assign(db.native());
    r.key += ':';
    r.key += id_column;
  }
  if (!r.seen.first(r.key)) return;

  const auto recorded = reader::amount(reader::at(data, "cost"));
  const auto provider = reader::text(reader::at(data, "providerID"));
  reader::Usage& u = r.usages.add(*time, r.usages.model(*model));
  u.tokens = tokens.block;
  u.reasoning = tokens.extra;
  const CostMode mode = r.options.common.mode;
  if (mode == CostMode::Display) {
    u.cost = recorded.value_or(0.0);
    return;
  }
  const auto& names = r.prices.candidates(*model, provider.value_or(""), [&] { return price_candidates(*model, provider); });
  u.cost = mode == CostMode::Auto && recorded ? *recorded : reader::Prices::first_priced_cost(names, tokens.priced());
  u.unpriced = !(recorded && *recorded > 0) && r.prices.unpriced(names, tokens.sum());
}

}  // namespace

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
  Reading r{options, reader::Prices(&table), reader::UsageList(options.zone), {}, {}};
  json::StrictParser parser;
  for (const auto& dir : *dirs) {
    const fs::path db = dir / "kilo.db";
    std::error_code ec;
    if (!fs::is_regular_file(db, ec)) continue;
    message::for_each_message(db, "Kilo", options.common.debug, parser,
                              [&](std::string_view id, std::string_view, json::element data) { add_message(r, db, id, data); });
  }
  return run.finish(r.usages);
}

}  // namespace qm::kilo
