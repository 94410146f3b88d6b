#pragma once
// The Codebuff reader: one "chat-messages.json" (a JSON array of messages) per chat below
// projects/<project>/chats/<chat>/ of its data directories. An assistant message's tokens and
// credits are spread over its metadata, a nested codebuff block and the agent's saved run
// state; they are gathered into one figure per message. Costs are always computed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"
#include "reader/counts.h"
#include "reader/prices.h"

namespace qm::codebuff::parser {

struct CodebuffUsage {
  std::optional<std::string> model;
  double credits = 0.0;
  reader::Counts counts;

  bool operator==(const CodebuffUsage&) const = default;
};

struct CodebuffMessage {
  TokenUsageRaw tokens;
  std::string timestamp_text;
  std::string session_key;  // channel/project/chat
  std::string model;
  std::string provider;
  std::string record_id;
  std::int64_t timestamp = 0;
  double credits = 0.0;
  std::uint64_t reasoning = 0;
};

AgentLoadResult load_codebuff_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// The counts of a usage object (all zero and no model for anything else), reconciled with
// its total.
CodebuffUsage parse_usage(std::optional<json::element> value);
// Fills what the target lacks (a zero count, credits not above 0, no model) from the source.
void merge_usage(CodebuffUsage& target, const CodebuffUsage& source);
bool has_usage(const CodebuffUsage& usage);
std::optional<std::int64_t> timestamp_ms(std::optional<json::element> value);
std::string provider_of(std::string_view model);
// The model, then provider/model when the provider is known and not already its prefix.
std::vector<std::string> price_candidates(std::string_view model, std::string_view provider);

// The messages of one chat file's text (followed by the parser's padding), in order.
std::vector<CodebuffMessage> parse_file(const std::filesystem::path& path, std::string_view text, std::int64_t file_time,
                                        json::StrictParser& parser);

UsageRecord build_usage_row(CodebuffMessage message, reader::Prices& prices, const cctz::time_zone& zone);

}  // namespace qm::codebuff::parser
