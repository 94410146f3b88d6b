#include "adapter/amp/reader.h"

#include <fmt/core.h>

#include <algorithm>
#include <bit>
#include <span>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "date_utils.h"
#include "reader/files.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/token_block.h"
#include "reader/values.h"
#include "util.h"

namespace qm::amp {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

std::optional<AmpUsage> usage_of(std::string_view time_text, std::string_view model, const all::types::Reconciled& r) {
  auto time = date_utils::parse_timestamp_ms(time_text);
  if (!time) return std::nullopt;
  if (r.counts_nothing()) return std::nullopt;
  AmpUsage u;
  u.tokens = r.block;
  u.reasoning = r.extra;
  u.model = std::string(model);
  u.timestamp_text = std::string(time_text);
  u.time = *time;
  return u;
}

// (cache creation, cache read) of each assistant message id; a later message replaces.
using CacheCounts = std::unordered_map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>>;

CacheCounts cache_counts(MaybeElement messages) {
  CacheCounts out;
  simdjson::dom::array list;
  if (!messages || messages->get_array().get(list)) return out;
  for (auto m : list) {
    auto id = reader::integer(at(m, "messageId"));
    if (reader::string(at(m, "role")) != "assistant" || !id) continue;
    auto usage = at(m, "usage");
    out[*id] = {reader::count_or_zero(at(usage, "cacheCreationInputTokens")),
                reader::count_or_zero(at(usage, "cacheReadInputTokens"))};
  }
  return out;
}

void ledger_usages(simdjson::dom::array events, MaybeElement messages, std::vector<AmpUsage>& out) {
  const CacheCounts cache = cache_counts(messages);
  for (auto event : events) {
    auto time = reader::text(at(event, "timestamp"));
    auto model = reader::text(at(event, "model"));
    auto tokens = at(event, "tokens");
    if (!time || !model || !tokens) continue;
    TokenUsageRaw block;
    block.input = reader::count_or_zero(at(tokens, "input"));
    block.output = reader::count_or_zero(at(tokens, "output"));
    if (auto to = reader::integer(at(event, "toMessageId"))) {
      if (auto it = cache.find(*to); it != cache.end()) std::tie(block.cache_creation, block.cache_read) = it->second;
    }
    auto u = usage_of(*time, *model, all::types::reconcile_token_total(block, 0, reader::count_or_zero(at(tokens, "total"))));
    if (!u) continue;
    if (auto id = reader::text(at(event, "id"))) u->record_id = std::string(*id);
    u->credits = reader::finite_number(at(event, "credits"));
    out.push_back(std::move(*u));
  }
}

void message_usages(simdjson::dom::array messages, std::vector<AmpUsage>& out) {
  for (auto m : messages) {
    auto usage = at(m, "usage");
    if (reader::string(at(m, "role")) != "assistant" || !usage) continue;
    auto time = reader::text(at(usage, "timestamp"));
    if (!time) time = reader::text(at(m, "timestamp"));
    auto model = reader::text(at(usage, "model"));
    if (!model) model = reader::text(at(m, "model"));
    if (!time || !model) continue;
    auto u = usage_of(*time, *model,
                      reader::count_block(usage, {"inputTokens", "outputTokens", "cacheCreationInputTokens",
                                                  "cacheReadInputTokens", "totalTokens"}));
    if (!u) continue;
    if (auto id = reader::integer(at(m, "messageId")))
      u->record_id = std::to_string(*id);
    else if (auto text = reader::string(at(m, "messageId")))
      u->record_id = std::string(*text);
    u->credits = reader::finite_number(at(usage, "credits"));
    out.push_back(std::move(*u));
  }
}

// What tells one usage of a thread from another: its id, or without one all that it records.
// Texts go in with their lengths, so that no two keys run together.
std::string usage_key(std::string_view thread, const AmpUsage& u) {
  if (u.record_id) return fmt::format("{}:{}id{}:{}", thread.size(), thread, u.record_id->size(), *u.record_id);
  const TokenUsageRaw& t = u.tokens;
  return fmt::format("{}:{}{}:{}{}:{} {} {} {} {} {} {}", thread.size(), thread, u.timestamp_text.size(), u.timestamp_text,
                     u.model.size(), u.model, t.input, t.output, t.cache_creation, t.cache_read, u.reasoning,
                     u.credits ? fmt::format("{}", std::bit_cast<std::uint64_t>(*u.credits)) : "-");
}

}  // namespace

std::optional<Thread> parse_thread(std::string_view text, json::StrictParser& parser) {
  auto doc = parser.parse(text);
  if (!doc) return std::nullopt;
  auto id = reader::text(at(*doc, "id"));
  if (!id) return std::nullopt;
  Thread thread{std::string(*id), false, {}};
  auto messages = at(*doc, "messages");
  simdjson::dom::array list;
  if (auto events = at(*doc, {"usageLedger", "events"}); events && !events->get_array().get(list)) {
    thread.ledger = true;
    ledger_usages(list, messages, thread.usages);
  } else if (messages && !messages->get_array().get(list))
    message_usages(list, thread.usages);
  return thread;
}

AgentLoadResult load_amp_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Amp, options);
  auto roots = reader::directory_roots("AMP_DATA_DIR", ".local/share/amp", reader::NoHome::Fails);
  if (!roots) return run.fail(std::move(roots.error()));
  std::vector<fs::path> files;
  for (const auto& root : *roots) {
    std::size_t first = files.size();
    reader::walk(root / "threads", "json", files, run.unread());
    // In path order, so that which of two copies of a usage counts does not depend on the
    // order in which the directory lists its entries.
    std::sort(files.begin() + static_cast<std::ptrdiff_t>(first), files.end());
  }

  auto threads = reader::parse_json_files<Thread>(
      files, options.common.single_thread, run.unread(),
      [](const fs::path&, std::string_view text, json::StrictParser& parser) {
        std::vector<Thread> out;
        if (auto thread = parse_thread(text, parser)) out.push_back(std::move(*thread));
        return out;
      });

  // Copies of a thread (in a second root, or an older copy beside a newer one) may differ, so
  // each usage counts once however many copies hold it, while within one copy every usage
  // counts. A thread with a ledger in any copy counts from its ledgers, as a thread does alone.
  std::unordered_set<std::string_view> ledger_threads;
  for (const auto& thread : threads)
    if (thread.ledger) ledger_threads.insert(thread.id);
  reader::Prices prices(&table);
  std::unordered_set<std::string> seen;
  std::vector<UsageRecord> records;
  for (auto& thread : threads) {
    if (!thread.ledger && ledger_threads.contains(thread.id)) continue;
    std::unordered_map<std::string, std::size_t> in_this_copy;
    for (auto& u : thread.usages) {
      std::string key = usage_key(thread.id, u);
      key += fmt::format(" #{}", in_this_copy[key]++);
      if (!seen.insert(std::move(key)).second) continue;
      TokenUsageRaw priced = u.tokens;  // the reasoning tokens cost as output
      priced.output = util::saturating_add(priced.output, u.reasoning);
      UsageRecord r = reader::record_at(u.model, u.time, options.zone);
      // No recorded cost: display leaves it 0 and marks nothing.
      if (options.common.mode != CostMode::Display) {
        const std::span<const std::string> names(&u.model, 1);
        r.cost = pricing::cost_for(options.common.mode, std::nullopt, pricing::CostRule::FirstPriced,
                                   reader::NamePrices(prices, names), priced);
        r.unpriced = prices.unpriced(u.model, names, reader::token_sum(priced));
      }
      r.tokens = u.tokens;
      r.reasoning = u.reasoning;
      r.credits = u.credits;
      records.push_back(std::move(r));
    }
  }
  return run.finish(std::move(records));
}

}  // namespace qm::amp
