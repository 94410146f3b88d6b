#include "adapter/droid/reader.h"

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include <fmt/core.h>

#include "adapter/droid/model.h"
#include "adapter/droid/transcript.h"
#include "date_utils.h"
#include "reader/files.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/token_block.h"
#include "reader/values.h"
#include "util.h"

namespace qm::droid {
namespace {

namespace fs = std::filesystem;
using reader::at;

constexpr std::string_view kSettingsEnding = ".settings.json";

// The name written in the settings, else the one the transcript beside them announces,
// else the provider's placeholder.
std::string session_model(json::element settings, const fs::path& transcript_path, std::string_view provider) {
  std::optional<std::string> model;
  if (auto named = get_trimmed_string(settings, "model")) {
    model = normalize_model_name(*named);
  } else {
    model = transcript_model_of(transcript_path);
  }
  if (!model || model->empty()) return unknown_model_for_provider(provider);
  return std::move(*model);
}

}  // namespace

std::expected<std::optional<DroidSessionUsage>, std::string> read_settings(const fs::path& path,
                                                                           json::StrictParser& parser) {
  auto text = reader::read_text(path);
  if (!text) {
    if (text.error() == util::os_error(ENOENT)) return std::nullopt;  // removed since the walk
    return std::unexpected(std::move(text.error()));
  }
  auto doc = parser.parse(text->view());
  if (!doc) return std::unexpected(fmt::format("not valid JSON: {}", parser.error()));
  auto usage = at(*doc, "tokenUsage");
  if (!doc->is_object() || !reader::is_object(usage)) return std::nullopt;

  const auto r = reader::count_block(usage, {"inputTokens", "outputTokens", "cacheCreationTokens", "cacheReadTokens",
                                             "totalTokens", "thinkingTokens"});
  if (r.counts_nothing()) return std::nullopt;

  auto lock = get_trimmed_string(*doc, "providerLock");
  const std::string locked = lock ? normalize_provider(*lock) : "unknown";
  DroidSessionUsage s;
  s.session_id = path.filename().string();
  if (s.session_id.ends_with(kSettingsEnding)) s.session_id.resize(s.session_id.size() - kSettingsEnding.size());
  s.model = session_model(*doc, path.parent_path() / (s.session_id + ".jsonl"), locked);
  s.provider = locked == "unknown" ? infer_provider(s.model) : locked;
  auto lock_time = get_trimmed_string(*doc, "providerLockTimestamp");
  auto time = lock_time ? date_utils::parse_timestamp_ms(*lock_time) : std::nullopt;
  if (!time) time = reader::file_time_ms_saturating(path);
  if (!time) return std::nullopt;
  s.tokens = r.block;
  s.reasoning = r.extra;
  s.timestamp = *time;
  return s;
}

AgentLoadResult load_droid_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Droid, options);
  auto is_settings = [](const fs::path&, const fs::path& p) {
    std::string name = p.filename().string();
    return util::is_valid_utf8(name) && name.ends_with(kSettingsEnding);
  };
  auto files = reader::find_files(
      {"DROID_SESSIONS_DIR", ".factory/sessions", reader::NoHome::Fails, "", "json", is_settings}, run.unread());
  if (!files) return run.fail(std::move(files.error()));

  auto read = reader::read_files<std::optional<DroidSessionUsage>>(*files, options.common.single_thread,
                                                                   run.unread(), [] {
    return [parser = json::StrictParser()](const fs::path& path) mutable { return read_settings(path, parser); };
  });
  std::vector<DroidSessionUsage> sessions;
  for (auto& s : read)
    if (s) sessions.push_back(std::move(*s));
  std::stable_sort(sessions.begin(), sessions.end(),
                   [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });

  reader::Prices prices(&table);
  std::unordered_set<std::string_view> taken;
  std::vector<UsageRecord> records;
  for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {  // the newest file of a session wins
    DroidSessionUsage& s = *it;
    if (!taken.insert(s.session_id).second) continue;
    TokenUsageRaw priced = s.tokens;  // the cost is computed in every cost mode, reasoning as output
    priced.output = util::saturating_add(priced.output, s.reasoning);
    const auto names = resolve_model(s.model, s.provider);
    UsageRecord r = reader::record_at(s.model, s.timestamp, options.zone);
    r.cost = pricing::cost_for(CostMode::Calculate, std::nullopt, pricing::CostRule::FirstPositive, reader::NamePrices(prices, names), priced);
    r.unpriced = prices.unpriced(s.model, names, reader::token_sum(priced));
    r.tokens = s.tokens;
    r.reasoning = s.reasoning;
    records.push_back(std::move(r));
  }
  // Newest first, as taken: on a day, models of equal cost are listed in that order.
  return run.finish(std::move(records), all::loader::RecordOrder::AsRead);
}

}  // namespace qm::droid
