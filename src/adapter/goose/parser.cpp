#include "adapter/goose/parser.h"

#include <algorithm>

#include "date_utils.h"
#include "reader/reader.h"
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

constexpr std::int64_t kMillisecondsAbove = 1'000'000'000'000;

// The counts of a row: the accumulated column wins whenever it is above 0.
struct Counts {
  std::uint64_t input = 0, output = 0, extra = 0;
};
std::optional<Counts> counts_of(const reader::Row& row) {
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

std::optional<UsageRecord> session_record(const reader::Row& row, json::StrictParser& parser, reader::Prices& prices,
                                          const cctz::time_zone& zone) {
  auto id = row.text(0);
  auto config = row.text(1);
  auto created = row.text(3);
  if (!id || !config || !created) return std::nullopt;
  auto time = created_at_ms(util::trim(*created));
  if (!time) return std::nullopt;
  auto doc = parser.parse_copy(*config);
  auto model = doc ? reader::text(reader::at(*doc, "model_name")) : std::nullopt;
  if (!model) return std::nullopt;
  auto counts = counts_of(row);
  if (!counts) return std::nullopt;

  UsageRecord r = reader::record_at(AgentKind::Goose, "Goose", std::string(*model), *time, zone);
  r.tokens.input = counts->input;
  r.tokens.output = counts->output;
  r.reasoning = counts->extra;
  r.record_id = std::string(*id);
  r.session_text = r.record_id;
  r.session_id = *r.record_id;

  std::vector<std::string> names{*r.model};
  const std::string provider = provider_for(*r.model, row.text(2));
  if (provider != "goose") reader::add_candidate(names, provider + "/" + *r.model);
  TokenUsageRaw priced;
  priced.input = counts->input;
  priced.output = util::saturating_add(counts->output, counts->extra);
  r.cost = prices.first_positive_cost(names, priced);
  r.unpriced = prices.unpriced(*r.model, names, util::saturating_add(priced.input, priced.output));
  return r;
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

std::optional<std::int64_t> column_positive_i64(const reader::Row& row, int column) {
  std::int64_t v = row.int64(column);
  if (v > 0) return v;
  return std::nullopt;
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
  if (dashes && text.size() == 10) return date_utils::parse_timestamp_ms(std::string(text) + "T00:00:00Z");
  if (dashes && text.size() == 19 && (text[10] == 'T' || text[10] == ' '))
    return date_utils::parse_timestamp_ms(std::string(text.substr(0, 10)) + "T" + std::string(text.substr(11)) + "Z");
  return std::nullopt;
}

std::vector<UsageRecord> read_sessions(const fs::path& db, json::StrictParser& parser, reader::Prices& prices,
                                       const all::loader::LoadOptions& options) {
  std::vector<UsageRecord> records;
  reader::for_each_row(db, "Goose", kQuery, options.common.debug, [&](const reader::Row& row) {
    if (auto r = session_record(row, parser, prices, options.zone)) records.push_back(std::move(*r));
  });
  // A session counts once per database: its key is the database's path and its id.
  reader::drop_repeated(records, 0, [](const UsageRecord& r) -> const std::string& { return r.session_id; });
  return records;
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
  std::string lower(model.substr(0, 4));
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  if (lower == "qwen") return "openrouter";
  return "goose";
}

AgentLoadResult load_goose_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Goose, options);
  auto dbs = session_dbs();
  if (!dbs) return run.fail(dbs.error());

  reader::Prices prices(&table);
  json::StrictParser parser;
  std::vector<UsageRecord> records;
  for (const auto& db : *dbs) {
    auto read = read_sessions(db, parser, prices, options);
    records.insert(records.end(), std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
  }
  return run.finish(std::move(records));
}

}  // namespace qm::goose::parser
