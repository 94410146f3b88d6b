#pragma once
// The Gemini CLI reader: session documents and JSON Lines logs below its data directories,
// one usage item per model reply or per model of a session's statistics, priced from the table.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/loader.h"
#include "adapter/all/types.h"
#include "json/strict.h"
#include "pricing/table.h"

namespace qm::gemini::parser {

struct GeminiTokenCounts {
  std::optional<std::uint64_t> total;
  std::uint64_t input = 0;
  std::uint64_t output = 0;
  std::uint64_t cached = 0;
  std::uint64_t thoughts = 0;
  std::uint64_t tool = 0;
};

struct GeminiMessageUsage {
  std::string timestamp_text;
  std::string session_id;
  std::string model;
  std::optional<std::string> message_id;
  std::int64_t timestamp = 0;
  std::uint64_t input = 0;  // the non-cached input and the tool tokens
  std::uint64_t output = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;
  std::uint64_t total = 0;

  bool operator==(const GeminiMessageUsage&) const = default;
};

// How the cached tokens relate to the reported input: a reply's input includes them only
// when its total says so; a statistics block's input always does.
enum class InputRule { Message, Statistics };

AgentLoadResult load_gemini_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

std::optional<GeminiTokenCounts> read_token_counts(std::optional<json::element> value);
std::optional<GeminiMessageUsage> message_usage(json::element message, std::optional<std::string_view> fallback_model,
                                                std::string_view session_id, std::int64_t fallback_time);
std::vector<GeminiMessageUsage> session_stats_usage(std::optional<json::element> stats,
                                                    std::optional<std::string_view> fallback_model,
                                                    std::string_view session_id, std::int64_t time);
std::optional<GeminiMessageUsage> build_message_usage(std::string_view model, std::string_view session_id,
                                                      std::int64_t time, const GeminiTokenCounts& counts, InputRule rule,
                                                      std::optional<std::string_view> message_id);
std::vector<std::string> price_candidates(std::string_view model);

// The items of one file's text: JSON Lines when the extension is "jsonl", else one document.
std::vector<GeminiMessageUsage> parse_file(const std::filesystem::path& path, std::string_view text,
                                           std::int64_t file_time, json::StrictParser& parser);

}  // namespace qm::gemini::parser
