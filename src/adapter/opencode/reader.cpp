#include "adapter/opencode/reader.h"

#include <algorithm>

#include "adapter/opencode/loader.h"
#include "adapter/opencode/message_rows.h"
#include "reader/files.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/usage_list.h"

namespace qm::opencode::report {
namespace {

namespace fs = std::filesystem;

bool all_digits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// claude-opus-4.5 and claude-sonnet-45-20250929 as claude-opus-4-5 and claude-sonnet-4-5-20250929.
std::optional<std::string> version_form(std::string_view name) {
  for (std::string_view prefix : {"claude-haiku-", "claude-opus-", "claude-sonnet-"}) {
    if (!name.starts_with(prefix)) continue;
    const std::string_view rest = name.substr(prefix.size());
    const auto dot = rest.find('.');
    if (dot != std::string_view::npos && all_digits(rest.substr(0, dot)) && dot + 1 < rest.size() && is_digit(rest[dot + 1]))
      return std::string(prefix) + std::string(rest.substr(0, dot)) + "-" + std::string(rest.substr(dot + 1));
    if (rest.size() >= 2 && is_digit(rest[0]) && is_digit(rest[1]))
      return std::string(prefix) + rest[0] + "-" + rest[1] + std::string(rest.substr(2));
    return std::nullopt;
  }
  return std::nullopt;
}

// A message of the older store, owning its texts (it outlives the file's parse).
struct StoredMessage {
  std::string model, provider;
  message::Tokens tokens;
  std::int64_t time_ms = 0;
  std::optional<std::string> id;
  std::optional<double> recorded_cost;

  explicit StoredMessage(const Message& m)
      : model(m.model), provider(m.provider), tokens(m.tokens), time_ms(m.time_ms), recorded_cost(m.recorded_cost) {
    if (m.id) id = std::string(*m.id);
  }
  Message view() const {
    Message m{model, provider, tokens, time_ms, std::nullopt, recorded_cost};
    if (id) m.id = *id;
    return m;
  }
};

// A positive recorded cost, else the first positive cost among the candidates; the unpriced
// marker unless the cost mode is display (then there is no table).
message::Counted count(const Message& m, message::RecentPrices& prices, bool display, reader::KeptTexts& kept) {
  message::Counted c;
  c.set_tokens(m.tokens);
  c.time_ms = m.time_ms;
  c.model = kept.keep_name(m.model);
  if (m.id) c.keep_key(*m.id, kept);
  if (m.recorded_cost && *m.recorded_cost > 0) {
    c.cost = *m.recorded_cost;
    return c;
  }
  const auto& names = prices.candidates(m.model, m.provider, [&] { return normalize_model(m.model, m.provider); });
  c.cost = pricing::cost_for(CostMode::Calculate, std::nullopt, pricing::CostRule::FirstPositive, names.prices, m.tokens.priced());
  c.unpriced = !display && prices.prices().unpriced(names, m.tokens.sum());
  return c;
}

auto stored_message_parser() {
  return [parser = json::StrictParser()](const fs::path&, std::string_view text) mutable
             -> std::expected<std::vector<StoredMessage>, std::string> {
    std::vector<StoredMessage> out;
    if (auto doc = parser.parse(text))
      if (auto m = parse_message(*doc, std::nullopt)) out.emplace_back(*m);
    return out;
  };
}

}  // namespace

std::optional<Message> parse_message(json::element data, std::optional<std::string_view> id) {
  const message::Members members = message::members_of(data);
  if (!members.tokens) return std::nullopt;
  Message m;
  m.tokens = message::tokens_of(members.tokens, false);
  if (!m.tokens.any()) return std::nullopt;
  const auto model = message::text(members.model_id);
  const auto provider = message::text(members.provider_id);
  // A message without its time of creation is passed over: it would count on 1970-01-01.
  const auto created = message::created(members.time);
  if (!model || !provider || !created || *created <= 0) return std::nullopt;
  m.model = *model;
  m.provider = *provider;
  m.time_ms = *created;
  m.id = id ? id : message::text(members.id);
  m.recorded_cost = message::amount(members.cost);
  return m;
}

std::vector<std::string> normalize_model(std::string_view model, std::string_view provider) {
  std::string n(model == "gemini-3-pro-high" ? "gemini-3-pro-preview" : model == "k2p6" ? "kimi-k2.6" : model);
  std::vector<std::string> names{n};
  if (auto normalised = version_form(n); normalised && *normalised != n) names.push_back(std::move(*normalised));
  if (provider != "unknown") {
    std::string prefix(provider);
    std::replace(prefix.begin(), prefix.end(), '-', '_');
    const std::size_t plain = names.size();
    for (std::size_t i = 0; i < plain; ++i) names.push_back(prefix + "/" + names[i]);
  }
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

AgentLoadResult load_opencode_usage(const all::loader::LoadOptions& options, const pricing::PricingTable&) {
  // Never called under the display mode, which has no table.
  return load_opencode_usage(options, [&] { return std::move(*reader::own_table(options.common)); });
}

AgentLoadResult load_opencode_usage(const all::loader::LoadOptions& options,
                                    const std::function<pricing::PricingTable()>& load_table) {
  reader::Run run(AgentKind::OpenCode, options);
  auto dirs = loader::data_dirs();
  if (!dirs) return run.fail(dirs.error());

  // One table for the run: it depends only on the options.
  const bool display = options.common.mode == CostMode::Display;
  std::optional<pricing::PricingTable> table;
  if (!display && !dirs->empty()) table = load_table();
  const pricing::PricingTable* prices = table ? &*table : nullptr;

  reader::UsageList usages(options.zone);
  // A message counts once: the database before the older store, the first directory first.
  reader::SeenKeys seen;
  message::RecentPrices store_prices(prices);
  reader::KeptTexts store_texts;
  for (const auto& dir : *dirs) {
    if (auto db = loader::database_in(dir)) {
      auto make_parse = [&] {
        return [worker_prices = message::RecentPrices(prices), display](std::string_view id, json::element data,
                                                                  reader::KeptTexts& kept) mutable {
          const auto m = parse_message(data, id);
          return m ? std::optional(count(*m, worker_prices, display, kept)) : std::nullopt;
        };
      };
      message::read_messages(*db, "OpenCode", options.common.debug, reader::row_workers(options.common.single_thread),
                             make_parse, seen, usages, run.unread());
    }
    auto stored = reader::parse_files<StoredMessage>(loader::stored_message_files(dir, run.unread()),
                                                     options.common.single_thread, run.unread(),
                                                     stored_message_parser);
    for (const auto& file : stored)
      for (const auto& stored_message : file) {
        store_texts.clear();
        const std::optional<message::Counted> counted = count(stored_message.view(), store_prices, display, store_texts);
        message::add(std::span(&counted, 1), store_texts, seen, usages);
      }
  }
  return run.finish(usages);
}

}  // namespace qm::opencode::report
