#include "adapter/goose/reader.h"

#include <algorithm>
#include <cstring>

#include "date_utils.h"
#include "reader/epoch.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/row_workers.h"
#include "reader/seen.h"
#include "reader/session_spans.h"
#include "reader/usage_list.h"
#include "reader/values.h"
#include "util.h"

namespace qm::goose::parser {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kQuery = R"(
SELECT
    id,
    model_config_json,
    provider_name,
    created_at,
    total_tokens,
    input_tokens,
    output_tokens,
    accumulated_total_tokens,
    accumulated_input_tokens,
    accumulated_output_tokens
FROM sessions
WHERE model_config_json IS NOT NULL
    AND TRIM(model_config_json) != ''
)";

// Sessions are few, so narrow spans still share them out.
constexpr std::uint64_t kSpanWidth = 512;

constexpr std::int64_t kMillisecondsAbove = 1'000'000'000'000;
constexpr std::size_t kAhead = 16;  // sessions whose seen-key lookup is prefetched

// The counts of a row: the accumulated column wins whenever it is above 0.
struct Counts {
  std::uint64_t input = 0, output = 0, extra = 0;
};
std::optional<Counts> counts_of(const reader::RowView& row) {
  auto either = [&](int accumulated, int plain) -> std::optional<std::uint64_t> {
    auto v = column_positive_i64(row, accumulated);
    if (!v) v = column_positive_i64(row, plain);
    if (!v) return std::nullopt;
    return static_cast<std::uint64_t>(*v);
  };
  Counts c;
  c.input = either(8, 5).value_or(0);
  c.output = either(9, 6).value_or(0);
  const std::uint64_t parts = util::saturating_add(c.input, c.output);
  const std::uint64_t total = either(7, 4).value_or(parts);
  if (c.input == 0 && c.output == 0 && total == 0) return std::nullopt;
  c.extra = total > parts ? total - parts : 0;
  return c;
}

constexpr reader::Column kColumns[] = {
    reader::Column::Text,    reader::Column::Text,    reader::Column::Text,    reader::Column::Text,
    reader::Column::Integer, reader::Column::Integer, reader::Column::Integer, reader::Column::Integer,
    reader::Column::Integer, reader::Column::Integer,
};

// A session row made ready on a worker; its texts kept beside its batch.
struct Session {
  reader::TextRef id;
  std::uint32_t model = 0;  // the number of its name in the batch's texts
  std::uint64_t id_hash = 0;
  Counts counts;
  std::int64_t time_ms = 0;
  double cost = 0.0;
  bool unpriced = false;
};

std::optional<Session> read_session(const reader::RowView& row, json::StrictParser& parser, reader::Prices& prices,
                                    reader::KeptTexts& kept) {
  auto id = row.text(0);
  auto config = row.bytes(1);
  auto created = row.text(3);
  if (!id || !config || !created) return std::nullopt;
  auto time = created_at_ms(util::trim(*created));
  if (!time) return std::nullopt;
  // The parser checks the UTF-8 itself: the text is made (lossy) only when that fails.
  auto doc = parser.parse(row.padded(1, *config));
  if (!doc && !util::is_valid_utf8(*config)) doc = parser.parse_copy(*row.text(1));
  auto model = doc ? reader::text(reader::at(*doc, "model_name")) : std::nullopt;
  if (!model) return std::nullopt;
  auto counts = counts_of(row);
  if (!counts) return std::nullopt;

  Session s{kept.keep(*id), kept.keep_name(*model), reader::SeenKeys::hash(*id), *counts, *time};
  const auto provider_name = row.text(2);
  const auto& names = prices.candidates(*model, provider_name.value_or(""), [&] {
    std::vector<std::string> names{std::string(*model)};
    const std::string provider = provider_for(*model, provider_name);
    if (provider != "goose") reader::add_candidate(names, provider + "/" + std::string(*model));
    return names;
  });
  TokenUsageRaw priced;
  priced.input = counts->input;
  priced.output = util::saturating_add(counts->output, counts->extra);
  s.cost = pricing::cost_for(CostMode::Calculate, std::nullopt, pricing::CostRule::FirstPositive, names.prices, priced);
  s.unpriced = prices.unpriced(names, reader::token_sum(priced));
  return s;
}

}  // namespace

std::expected<std::vector<fs::path>, std::string> session_db_candidates() {
  auto home = util::home_dir();
  if (!home) return std::unexpected(std::string(util::kNoHome));
  const fs::path local_share = fs::path(*home) / ".local/share";
  return std::vector<fs::path>{local_share / "goose/sessions/sessions.db",
                               reader::xdg_data_home().value_or(local_share) / "goose/sessions/sessions.db",
                               local_share / "Block/goose/sessions/sessions.db"};
}

std::expected<std::vector<fs::path>, std::string> session_dbs() {
  if (auto root = reader::env_path("GOOSE_PATH_ROOT")) return reader::canonical_files({*root / "data/sessions/sessions.db"});
  auto candidates = session_db_candidates();
  if (!candidates) return candidates;
  return reader::canonical_files(*candidates);
}

std::optional<std::int64_t> created_at_ms(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (auto n = util::parse_i64_decimal(text)) {
    auto ms = reader::seconds_or_ms(*n, kMillisecondsAbove);
    if (!ms || *ms <= 0) return std::nullopt;
    return ms;
  }
  if (auto ms = date_utils::parse_timestamp_ms(text)) return ms;
  const bool dashes = text.size() >= 10 && text[4] == '-' && text[7] == '-';
  char utc[20];  // the date, "T", the time and "Z"
  if (dashes && text.size() == 10) {
    std::memcpy(utc, text.data(), 10);
    std::memcpy(utc + 10, "T00:00:00Z", 10);
    return date_utils::parse_timestamp_ms(std::string_view(utc, 20));
  }
  if (dashes && text.size() == 19 && (text[10] == 'T' || text[10] == ' ')) {
    std::memcpy(utc, text.data(), 19);
    utc[10] = 'T';
    utc[19] = 'Z';
    return date_utils::parse_timestamp_ms(std::string_view(utc, 20));
  }
  return std::nullopt;
}

std::string provider_for(std::string_view model, std::optional<std::string_view> provider_name) {
  if (provider_name) {
    std::string p(util::trim(*provider_name));
    if (!p.empty()) {
      std::replace(p.begin(), p.end(), '-', '_');
      return p;
    }
  }
  if (model.starts_with("claude-")) return "anthropic";
  if (model.starts_with("gpt-") || model.starts_with("chatgpt-") || model.starts_with("o")) return "openai";
  if (model.starts_with("gemini-")) return "google";
  if (util::ascii_lower(model.substr(0, 4)) == "qwen") return "openrouter";
  return "goose";
}

AgentLoadResult load_goose_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Goose, options);
  auto dbs = session_dbs();
  if (!dbs) return run.fail(dbs.error());

  reader::UsageList usages(options.zone);
  reader::BatchModels models(usages);
  reader::SeenKeys seen;
  auto make_parse = [&] {
    return [parser = json::StrictParser(), prices = reader::Prices(&table)](const reader::RowView& row,
                                                                          reader::KeptTexts& kept) mutable {
      return read_session(row, parser, prices, kept);
    };
  };
  for (const auto& db : *dbs) {
    // A session counts once per database: its key is the database's path and its id.
    seen.clear();
    const std::size_t before = usages.size();
    const auto read = reader::for_each_parsed_row<Session>(
        db, "Goose", kQuery, options.common.debug, kColumns, reader::row_workers(options.common.single_thread),
        make_parse, [&](std::span<const std::optional<Session>> sessions, const reader::KeptTexts& kept) {
          models.reset(kept.names());
          for (std::size_t i = 0; i < sessions.size(); ++i) {
            if (i + kAhead < sessions.size() && sessions[i + kAhead]) seen.prefetch(sessions[i + kAhead]->id_hash);
            if (!sessions[i]) continue;
            const Session& s = *sessions[i];
            if (!seen.first(kept[s.id], s.id_hash)) continue;
            reader::Usage& u = usages.add(s.time_ms, models.id(s.model, kept.name(s.model)));
            u.input = s.counts.input;
            u.output = s.counts.output;
            u.reasoning = s.counts.extra;
            u.cost = s.cost;
            u.unpriced = s.unpriced;
          }
        },
        [&] {
          usages.truncate(before);
          seen.clear();
        },
        reader::session_spans<kQuery, kSpanWidth>());
    read.add_to(run.unread(), db);
  }
  return run.finish(usages);
}

}  // namespace qm::goose::parser
