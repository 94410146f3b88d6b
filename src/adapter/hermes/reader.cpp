#include "adapter/hermes/reader.h"

#include <algorithm>
#include <cmath>

#include "pricing/cost.h"
#include "reader/file_usage.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/session_spans.h"
#include "reader/usage_list.h"
#include "util.h"

namespace qm::hermes {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kQuery = R"(
            SELECT
                id,
                model,
                billing_provider,
                started_at,
                message_count,
                input_tokens,
                output_tokens,
                cache_read_tokens,
                cache_write_tokens,
                reasoning_tokens,
                estimated_cost_usd,
                actual_cost_usd
            FROM sessions
            WHERE model IS NOT NULL
                AND TRIM(model) != ''
        )";
static_assert(kQuery.size() == 498);

constexpr std::uint64_t kSpanWidth = 2048;

constexpr reader::Column kColumns[] = {
    reader::Column::Text,    reader::Column::Text,    reader::Column::Text,    reader::Column::Real,
    reader::Column::Integer, reader::Column::Integer, reader::Column::Integer, reader::Column::Integer,
    reader::Column::Integer, reader::Column::Integer, reader::Column::Real,    reader::Column::Real,
};

constexpr double kMillisecondsAbove = 1e12;
constexpr std::size_t kAhead = 16;  // sessions whose seen-key lookup is prefetched

std::uint64_t count(const reader::RowView& row, int column) {
  return static_cast<std::uint64_t>(column_non_negative_i64(row, column));
}

// A session row made ready on a worker; its texts kept beside its batch.
struct Session {
  reader::TextRef id;
  std::uint32_t model = 0;  // the number of its name in the batch's texts
  std::uint64_t id_hash = 0;
  reader::Counts counts;
  std::uint64_t message_count = 0;
  std::int64_t time_ms = 0;
  double cost = 0.0;
  bool unpriced = false;
};

// The usage of one session row, unless the row is passed over.
std::optional<Session> read_session(const reader::RowView& row, reader::Prices& prices, reader::KeptTexts& kept) {
  const auto id = row.text(0);
  const auto model_column = row.text(1);
  if (!id || id->empty() || !model_column) return std::nullopt;
  const std::string_view model = util::trim(*model_column);
  if (model.empty()) return std::nullopt;
  const auto time = started_at_ms(row.real(3));
  if (!time) return std::nullopt;

  TokenUsageRaw tokens;
  tokens.input = count(row, 5);
  tokens.output = count(row, 6);
  tokens.cache_read = count(row, 7);
  tokens.cache_creation = count(row, 8);
  Session s;
  s.counts = reader::Counts{tokens.input, tokens.output, tokens.cache_creation, tokens.cache_read, count(row, 9)};
  std::optional<double> cost;
  if (!row.is_null(11))
    cost = column_f64(row, 11);
  else if (!row.is_null(10))
    cost = column_f64(row, 10);
  const bool recorded = cost && *cost > 0;
  if (!tokens.input && !tokens.output && !tokens.cache_read && !tokens.cache_creation && !s.counts.reasoning && !recorded)
    return std::nullopt;
  s.id = kept.keep(*id);
  s.id_hash = reader::SeenKeys::hash(*id);
  s.model = kept.keep_name(model);
  s.time_ms = *time;
  s.message_count = count(row, 4);
  if (recorded) {
    s.cost = *cost;
    return s;
  }
  const auto billing = row.text(2);
  const auto& names = prices.candidates(model, billing.value_or(""),
                                        [&] { return price_candidates(model, price_prefix(model, billing)); });
  TokenUsageRaw priced = tokens;
  priced.output = util::saturating_add(tokens.output, s.counts.reasoning);
  s.cost = pricing::cost_for(CostMode::Calculate, std::nullopt, pricing::CostRule::FirstPositive, names.prices, priced);
  s.unpriced = prices.unpriced(names, reader::token_sum(priced));
  return s;
}

// The sessions whose id was not met before, in row order.
void add_sessions(std::span<const std::optional<Session>> sessions, const reader::KeptTexts& kept,
                  reader::SeenKeys& seen, reader::UsageList& usages) {
  reader::BatchModels models(usages);
  models.reset(kept.names());
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    if (i + kAhead < sessions.size() && sessions[i + kAhead]) seen.prefetch(sessions[i + kAhead]->id_hash);
    if (!sessions[i]) continue;
    const Session& s = *sessions[i];
    if (!seen.first(kept[s.id], s.id_hash)) continue;
    reader::Usage& u = reader::add_counts(usages, s.time_ms, models.id(s.model, kept.name(s.model)), s.counts);
    u.has_message_count = true;
    u.message_count = s.message_count;
    u.cost = s.cost;
    u.unpriced = s.unpriced;
  }
}

}  // namespace

std::expected<std::vector<fs::path>, std::string> state_dbs() {
  auto roots = reader::candidate_roots("HERMES_HOME", ".hermes", reader::NoHome::Fails);
  if (!roots) return std::unexpected(roots.error());
  std::vector<fs::path> dbs;
  for (const auto& root : *roots) {
    fs::path db = root / "state.db";
    std::error_code ec;
    if (!fs::is_regular_file(db, ec)) continue;
    if (std::none_of(dbs.begin(), dbs.end(), [&](const fs::path& p) { return p.native() == db.native(); }))
      dbs.push_back(std::move(db));
  }
  return dbs;
}

std::int64_t column_non_negative_i64(const reader::RowView& row, int column) {
  return std::max<std::int64_t>(0, row.int64(column));
}

double column_f64(const reader::RowView& row, int column) {
  const double v = row.real(column);
  return std::isfinite(v) && v > 0 ? v : 0.0;
}

std::optional<std::int64_t> started_at_ms(double value) {
  const double ms = value > kMillisecondsAbove ? value : value * 1000.0;
  // 2^63 itself does not fit; every double below it does.
  if (!(ms > 0) || ms >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(ms);
}

std::string price_prefix(std::string_view model, std::optional<std::string_view> billing_provider) {
  if (billing_provider && !util::trim(*billing_provider).empty()) {
    std::string p = util::ascii_lower(util::trim(*billing_provider));
    std::replace(p.begin(), p.end(), '-', '_');
    if (p == "anthropic" || p == "claude") return "anthropic";
    if (p == "openai" || p == "openai_codex") return "openai";
    if (p == "google" || p == "google_ai" || p == "gemini" || p == "vertex" || p == "vertex_ai") return "google";
    return p;  // "openrouter", "xai", "groq" and any other name as they are
  }
  const std::string m = util::ascii_lower(model);
  if (m.starts_with("claude-") || m.starts_with("claude/")) return "anthropic";
  if (m.starts_with("gpt") || m.starts_with("chatgpt")) return "openai";
  if (m.size() >= 2 && m[0] == 'o' && m[1] >= '0' && m[1] <= '9') return "openai";
  if (m.starts_with("gemini-") || m.starts_with("gemini/")) return "google";
  return "hermes";
}

std::vector<std::string> price_candidates(std::string_view model, std::string_view prefix) {
  std::vector<std::string> names;
  if (prefix != "hermes") names.push_back(std::string(prefix) + "/" + std::string(model));
  reader::add_candidate(names, std::string(model));
  return names;
}

AgentLoadResult load_hermes_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Hermes, options);
  auto dbs = state_dbs();
  if (!dbs) return run.fail(dbs.error());
  reader::UsageList usages(options.zone);
  reader::SeenKeys seen;  // the first database that has a session wins
  auto make_parse = [&] {
    return [prices = reader::Prices(&table)](const reader::RowView& row, reader::KeptTexts& kept) mutable {
      return read_session(row, prices, kept);
    };
  };
  for (const auto& db : *dbs) {
    const std::size_t usages_before = usages.size(), seen_before = seen.size();
    reader::for_each_parsed_row<Session>(
        db, "Hermes state", kQuery, options.common.debug, kColumns, reader::row_workers(options.common.single_thread),
        make_parse,
        [&](std::span<const std::optional<Session>> sessions, const reader::KeptTexts& kept) {
          add_sessions(sessions, kept, seen, usages);
        },
        [&] {
          usages.truncate(usages_before);
          seen.truncate(seen_before);
        },
        reader::session_spans<kQuery, kSpanWidth>())
        .add_to(run.unread(), db);
  }
  return run.finish(usages);
}

}  // namespace qm::hermes
