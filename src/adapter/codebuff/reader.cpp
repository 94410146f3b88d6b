#include "adapter/codebuff/reader.h"

#include <fmt/core.h>

#include <algorithm>
#include <unordered_map>

#include "date_utils.h"
#include "reader/epoch.h"
#include "reader/files.h"
#include "pricing/cost.h"
#include "reader/prices.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/values.h"
#include "util.h"
#include "util_json.h"

namespace qm::codebuff::parser {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

std::string name_or(const fs::path& dir, std::string_view fallback) {
  std::string name = dir.filename().string();
  return name.empty() ? std::string(fallback) : name;
}

// A chat directory named like 2025-01-15T10-30-45.123Z: its time, with the colons that a
// file name cannot hold given back.
std::optional<std::int64_t> chat_name_time(std::string_view name) {
  const auto t = name.find('T');
  if (t == std::string_view::npos) return std::nullopt;
  std::string text(name);
  for (std::size_t pos = t + 1, changed = 0; changed < 2; ++changed) {
    pos = text.find('-', pos);
    if (pos == std::string::npos) break;
    text[pos] = ':';
  }
  return date_utils::parse_timestamp_ms(text);
}

bool is_assistant(std::optional<std::string_view> role) { return role == "ai" || role == "agent" || role == "assistant"; }

std::optional<double> positive_number(MaybeElement v) {
  if (!v || !util::is_positive_number(*v)) return std::nullopt;
  return reader::number(v);
}

// The saved run state's assistant entries, the last first: each fills what the later ones
// lack.
std::optional<CodebuffUsage> history_usage(MaybeElement metadata) {
  simdjson::dom::array history;
  auto list = at(metadata, {"runState", "sessionState", "mainAgentState", "messageHistory"});
  if (!list || list->get_array().get(history)) return std::nullopt;
  std::vector<json::element> entries(history.begin(), history.end());
  CodebuffUsage h;
  bool found = false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const auto options = at(*it, "providerOptions");
    if (reader::string(at(*it, "role")) != "assistant" || !reader::is_object(options)) continue;
    CodebuffUsage v = parse_usage(at(options, "usage"));
    if (const auto nested = at(options, "codebuff"); reader::is_object(nested)) {
      merge_usage(v, parse_usage(at(nested, "usage")));
      if (auto model = reader::text(at(nested, "model"))) v.model = std::string(*model);
    }
    found = found || v.model || has_usage(v);
    merge_usage(h, v);
  }
  if (!found) return std::nullopt;
  return h;
}

CodebuffUsage message_usage(json::element message) {
  CodebuffUsage u;
  const auto metadata = at(message, "metadata");
  if (reader::is_object(metadata)) {
    if (auto model = reader::text(at(metadata, "model"))) u.model = std::string(*model);
    merge_usage(u, parse_usage(at(metadata, "usage")));
    if (const auto nested = at(metadata, "codebuff"); reader::is_object(nested))
      merge_usage(u, parse_usage(at(nested, "usage")));
  }
  if (auto history = history_usage(metadata)) merge_usage(u, *history);
  if (auto credits = positive_number(at(message, "credits")); credits && !(u.credits > 0)) u.credits = *credits;
  return u;
}

}  // namespace

CodebuffUsage parse_usage(std::optional<json::element> value) {
  CodebuffUsage u;
  if (!reader::is_object(value)) return u;
  using reader::first_positive_count;
  TokenUsageRaw block;
  block.input = first_positive_count(value, {"inputTokens", "input_tokens", "promptTokens", "prompt_tokens"});
  block.output = first_positive_count(value, {"outputTokens", "output_tokens", "completionTokens", "completion_tokens"});
  block.cache_read = std::max({first_positive_count(value, {"cacheReadInputTokens", "cache_read_input_tokens"}),
                               first_positive_count(at(value, "promptTokensDetails"), {"cachedTokens"}),
                               first_positive_count(at(value, "prompt_tokens_details"), {"cached_tokens"})});
  block.cache_creation = first_positive_count(
      value, {"cacheCreationInputTokens", "cache_creation_input_tokens", "cacheCreationTokens", "cache_creation_tokens",
              "cachedTokensCreated", "cached_tokens_created"});
  const auto r = all::types::reconcile_token_total(block, 0, first_positive_count(value, {"totalTokens", "total_tokens", "total"}));
  u.counts = reader::Counts::of(r);
  u.credits = positive_number(at(value, "credits")).value_or(0.0);
  if (auto model = reader::text(at(value, "model"))) u.model = std::string(*model);
  return u;
}

void merge_usage(CodebuffUsage& target, const CodebuffUsage& source) {
  reader::Counts& to = target.counts;
  const reader::Counts& from = source.counts;
  for (auto [into, value] : {std::pair{&to.input, from.input}, std::pair{&to.output, from.output},
                             std::pair{&to.cache_creation, from.cache_creation}, std::pair{&to.cache_read, from.cache_read},
                             std::pair{&to.reasoning, from.reasoning}})
    if (*into == 0) *into = value;
  if (!(target.credits > 0)) target.credits = source.credits;
  if (!target.model) target.model = source.model;
}

bool has_usage(const CodebuffUsage& u) {
  return u.counts.any() || u.credits > 0;
}

std::optional<std::int64_t> timestamp_ms(std::optional<json::element> value) {
  std::optional<std::int64_t> ms = reader::time_text_ms(value);
  if (!ms)
    if (auto n = reader::integer(value)) ms = reader::seconds_or_ms(*n, 9'999'999'999);
  if (!ms || *ms <= 0) return std::nullopt;
  return ms;
}

std::string provider_of(std::string_view model) {
  std::string lower(model);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto begins = [&](std::initializer_list<std::string_view> prefixes) {
    return std::ranges::any_of(prefixes, [&](std::string_view p) { return lower.starts_with(p); });
  };
  if (begins({"claude-", "anthropic/", "anthropic."})) return "anthropic";
  if (begins({"gpt-", "o1", "o3", "o4", "openai/"})) return "openai";
  if (begins({"gemini", "google/"})) return "google";
  if (begins({"grok", "xai/"})) return "xai";
  if (begins({"openrouter/"})) return "openrouter";
  return "unknown";
}

std::vector<std::string> price_candidates(std::string_view model, std::string_view provider) {
  std::vector<std::string> names{std::string(model)};
  const std::string prefix = std::string(provider) + "/";
  if (provider != "unknown" && !model.starts_with(prefix)) names.push_back(prefix + std::string(model));
  return names;
}

std::vector<CodebuffMessage> parse_file(const fs::path& path, std::string_view text, std::int64_t file_time,
                                        json::StrictParser& parser) {
  auto doc = parser.parse(text);
  simdjson::dom::array messages;
  if (!doc || doc->get_array().get(messages)) return {};

  // <channel>/projects/<project>/chats/<chat>/chat-messages.json
  const fs::path chat_dir = path.parent_path();
  const fs::path project_dir = chat_dir.parent_path().parent_path();
  const std::string session_key = fmt::format("{}/{}/{}", name_or(project_dir.parent_path().parent_path(), "manicode"),
                                              name_or(project_dir, "unknown"), name_or(chat_dir, "unknown"));
  const std::int64_t fallback_time = chat_name_time(chat_dir.filename().string()).value_or(file_time);

  std::vector<CodebuffMessage> out;
  std::size_t position = 0;
  for (auto element : messages) {
    const std::size_t index = position++;
    if (!element.is_object()) continue;
    if (!is_assistant(reader::first_of(element, {"variant", "role"}, reader::text))) continue;
    const CodebuffUsage u = message_usage(element);
    if (!has_usage(u)) continue;

    CodebuffMessage m;
    m.timestamp = reader::first_of(element, {"timestamp", "createdAt"}, timestamp_ms)
                      .or_else([&] { return timestamp_ms(at(element, {"metadata", "timestamp"})); })
                      .value_or(fallback_time);
    m.timestamp_text = date_utils::format_timestamp_ms(m.timestamp);
    m.model = u.model.value_or("codebuff-unknown");
    m.provider = provider_of(m.model);
    m.session_key = session_key;
    if (auto id = reader::text(at(element, "id")))
      m.record_id = fmt::format("codebuff:{}:{}", session_key, *id);
    else
      m.record_id = fmt::format("codebuff:{}:{}:{}:{}:{}:{}:{}:{}:{}", session_key, m.timestamp_text, m.model, index,
                                u.counts.input, u.counts.output, u.counts.cache_read, u.counts.cache_creation,
                                u.counts.reasoning);
    m.tokens = u.counts.block();
    m.credits = u.credits;
    m.reasoning = u.counts.reasoning;
    out.push_back(std::move(m));
  }
  return out;
}

UsageRecord build_usage_row(CodebuffMessage m, reader::Prices& prices, const cctz::time_zone& zone) {
  UsageRecord r = reader::record_at(m.model, m.timestamp, zone);
  r.tokens = m.tokens;
  r.reasoning = m.reasoning;
  if (m.credits > 0) r.credits = m.credits;
  TokenUsageRaw priced = m.tokens;
  priced.output = util::saturating_add(priced.output, m.reasoning);
  // Every cost mode computes Codebuff's cost: the agent records credits, not money.
  const auto names = price_candidates(m.model, m.provider);
  r.cost = pricing::cost_for(CostMode::Calculate, std::nullopt, pricing::CostRule::FirstPositive, reader::NamePrices(prices, names), priced);
  r.unpriced = prices.unpriced(m.model, names, reader::token_sum(priced));
  return r;
}

AgentLoadResult load_codebuff_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Codebuff, options);
  auto candidates = reader::candidate_roots(
      "CODEBUFF_DATA_DIR", {".config/manicode", ".config/manicode-dev", ".config/manicode-staging"}, reader::NoHome::Fails);
  if (!candidates) return run.fail(candidates.error());
  for (auto& c : *candidates) {
    const fs::path last = c.has_filename() ? c.filename() : c.parent_path().filename();
    if (last != "projects") c /= "projects";
  }
  std::vector<fs::path> files;
  for (const auto& projects : reader::existing_dirs(*candidates))
    reader::walk(projects, "json", [](const fs::path& p) { return p.filename() == "chat-messages.json"; }, files,
                 run.unread());
  reader::sort_paths(files);

  auto parsed = reader::parse_json_files<CodebuffMessage>(
      files, options.common.single_thread, run.unread(),
      [](const fs::path& path, std::string_view text, json::StrictParser& parser) {
        return parse_file(path, text, reader::file_time_ms(path).value_or(0), parser);
      });

  // One message per record id: a later file (or a later place in one) replaces the earlier.
  std::vector<CodebuffMessage> messages;
  std::unordered_map<std::string, std::size_t> place_of;
  for (auto& m : parsed) {
    auto [it, fresh] = place_of.try_emplace(m.record_id, messages.size());
    if (fresh)
      messages.push_back(std::move(m));
    else
      messages[it->second] = std::move(m);
  }

  reader::Prices prices(&table);
  std::vector<UsageRecord> records;
  records.reserve(messages.size());
  for (auto& m : messages) records.push_back(build_usage_row(std::move(m), prices, options.zone));
  return run.finish(std::move(records));
}

}  // namespace qm::codebuff::parser
