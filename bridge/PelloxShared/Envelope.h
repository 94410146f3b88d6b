#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "JSONValue.h"

namespace pellox {

// The calling agent. In JSON it is its raw value.
enum class AgentProvider { claude, codex };

inline constexpr std::array<AgentProvider, 2> allAgentProviders = {AgentProvider::claude, AgentProvider::codex};

std::string_view rawValue(AgentProvider provider);
std::string_view displayName(AgentProvider provider);
// Exactly "claude" or "codex".
std::optional<AgentProvider> agentProviderFromRawValue(std::string_view raw);
// codex for exactly "codex"; claude for any other text and for none.
AgentProvider agentProviderFromSource(const std::optional<std::string>& source);

JSONValue toJSON(AgentProvider provider);
void fromJSON(const JSONValue& json, AgentProvider& provider);

enum class HookEvent {
  sessionStart,
  sessionEnd,
  userPromptSubmit,
  preToolUse,
  postToolUse,
  permissionRequest,
  notification,
  stop,
  subagentStop,
  preCompact,
  interrupt,
  postCompact,
  subagentStart,
};

inline constexpr std::array<HookEvent, 13> allHookEvents = {
    HookEvent::sessionStart,  HookEvent::sessionEnd,        HookEvent::userPromptSubmit, HookEvent::preToolUse,
    HookEvent::postToolUse,   HookEvent::permissionRequest, HookEvent::notification,     HookEvent::stop,
    HookEvent::subagentStop,  HookEvent::preCompact,        HookEvent::interrupt,        HookEvent::postCompact,
    HookEvent::subagentStart,
};

std::string_view rawValue(HookEvent event);
// Exact, case-sensitive match of the event name.
std::optional<HookEvent> hookEventFromRawValue(std::string_view raw);

// Read-only view over the event object an agent sent. Every getter yields
// nothing (or its fallback) when `raw` is not an object, lacks the key, or
// holds another JSON type there.
struct HookPayload {
  JSONValue raw{};

  std::string sessionId() const;  // "unknown" when absent
  std::optional<std::string> eventName() const;
  std::optional<HookEvent> event() const;
  std::optional<std::string> cwd() const;
  std::optional<std::string> transcriptPath() const;
  std::optional<std::string> permissionMode() const;
  std::optional<std::string> toolName() const;
  std::optional<JSONValue> toolInput() const;  // any JSON type
  std::optional<std::string> toolUseId() const;
  bool isAskUserQuestion() const;
  bool isCodexUserInputTool() const;
  std::optional<std::string> prompt() const;
  std::optional<std::string> message() const;
  std::optional<std::string> notificationType() const;
  std::optional<std::string> lastAssistantMessage() const;
  std::optional<std::string> source() const;
  std::optional<std::string> reason() const;
  std::optional<std::string> trigger() const;

  friend bool operator==(const HookPayload&, const HookPayload&) = default;

 private:
  std::optional<std::string> text(std::string_view key) const;
};

// The request line the bridge sends for every event.
struct Envelope {
  static constexpr std::int64_t currentVersion = 1;

  std::int64_t version = currentVersion;
  std::string source{};  // "claude" or "codex"
  bool expectsResponse = false;
  std::optional<std::int32_t> hookParentPid{};
  JSONValue payload{};

  HookPayload hook() const { return HookPayload{payload}; }
  AgentProvider provider() const { return source == "codex" ? AgentProvider::codex : AgentProvider::claude; }

  // Whether the bridge waits for the application's reply: for PermissionRequest
  // from either agent, and for Claude's PreToolUse of AskUserQuestion.
  static bool needsResponse(const HookPayload& payload, AgentProvider provider);

  friend bool operator==(const Envelope&, const Envelope&) = default;
};

JSONValue toJSON(const Envelope& envelope);
void fromJSON(const JSONValue& json, Envelope& envelope);

struct PermissionDecision {
  enum class Behavior { allow, deny };

  Behavior behavior = Behavior::allow;
  std::optional<std::string> message{};
  bool interrupt = false;

  static PermissionDecision allow() { return {}; }
  static PermissionDecision deny(std::optional<std::string> message, bool interrupt) {
    return {Behavior::deny, std::move(message), interrupt};
  }

  friend bool operator==(const PermissionDecision&, const PermissionDecision&) = default;
};

std::string_view rawValue(PermissionDecision::Behavior behavior);

JSONValue toJSON(const PermissionDecision& decision);
void fromJSON(const JSONValue& json, PermissionDecision& decision);

// The reply line; question to chosen answer in `answers`.
struct Response {
  std::int64_t version = 1;
  std::optional<PermissionDecision> decision{};
  std::optional<std::map<std::string, std::string>> answers{};

  friend bool operator==(const Response&, const Response&) = default;
};

JSONValue toJSON(const Response& response);
void fromJSON(const JSONValue& json, Response& response);

}  // namespace pellox
