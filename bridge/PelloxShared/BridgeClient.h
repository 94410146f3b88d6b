#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Envelope.h"
#include "JSONValue.h"

namespace pellox {

namespace BridgeClient {

struct Options {
  std::string socketPath{};
  double connectTimeout = 0.3;     // seconds
  double decisionTimeout = 110.0;  // seconds
  std::optional<std::int32_t> parentPid{};
  std::string source = "claude";  // "claude" or "codex"
};

inline constexpr std::size_t maxReplyBytes = 1'048'576;

// A time-out word: what strtod reads in the C locale, when it is not empty,
// does not start with white space and is read to its end.
std::optional<double> parseSeconds(const std::string& word);

// Applies --socket, --connect-timeout, --wait-timeout and --source from the
// command-line words; any other word, a missing value or a value that is no
// number is passed over (and the word after a bad number is read as an option).
void applyArguments(Options& options, std::span<const std::string> args);

// Forwards one hook event and, for the events that wait for a decision,
// returns the hook output to print. Nothing on every failure; never throws.
std::optional<std::string> run(std::string_view input, const Options& options) noexcept;

}  // namespace BridgeClient

namespace HookOutput {

// The PermissionRequest output for a reply that holds a decision.
std::optional<std::string> permissionOutput(const Response& response, AgentProvider provider);

// The PreToolUse output for an AskUserQuestion reply: allow, with the tool
// input's "answers" replaced by the application's.
std::optional<std::string> questionOutput(const Response& response, const std::optional<JSONValue>& toolInput);

}  // namespace HookOutput

}  // namespace pellox
