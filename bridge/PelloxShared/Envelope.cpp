#include "Envelope.h"

#include <limits>
#include <utility>

namespace pellox {

namespace {

constexpr std::array<std::pair<HookEvent, std::string_view>, 13> hookEventNames = {{
    {HookEvent::sessionStart, "SessionStart"},
    {HookEvent::sessionEnd, "SessionEnd"},
    {HookEvent::userPromptSubmit, "UserPromptSubmit"},
    {HookEvent::preToolUse, "PreToolUse"},
    {HookEvent::postToolUse, "PostToolUse"},
    {HookEvent::permissionRequest, "PermissionRequest"},
    {HookEvent::notification, "Notification"},
    {HookEvent::stop, "Stop"},
    {HookEvent::subagentStop, "SubagentStop"},
    {HookEvent::preCompact, "PreCompact"},
    {HookEvent::interrupt, "Interrupt"},
    {HookEvent::postCompact, "PostCompact"},
    {HookEvent::subagentStart, "SubagentStart"},
}};

// Strict field readers: a wrong JSON type is an error, never a conversion.

const JSONValue::Object& requireObject(const JSONValue& json, std::string_view what) {
  const auto* object = json.objectValue();
  if (object == nullptr) throw DecodingError(std::string(what) + " is not an object");
  return *object;
}

const JSONValue& required(const JSONValue::Object& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end()) throw DecodingError("missing key \"" + std::string(key) + "\"");
  return it->second;
}

// Missing and null both mean absent.
const JSONValue* present(const JSONValue::Object& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->second.isNull()) return nullptr;
  return &it->second;
}

[[noreturn]] void wrongType(std::string_view key, std::string_view expected) {
  throw DecodingError("\"" + std::string(key) + "\" is not " + std::string(expected));
}

std::int64_t readInt(const JSONValue& value, std::string_view key) {
  const auto* i = value.intValue();
  if (i == nullptr) wrongType(key, "an integer");
  return *i;
}

bool readBool(const JSONValue& value, std::string_view key) {
  const auto* b = value.boolValue();
  if (b == nullptr) wrongType(key, "a boolean");
  return *b;
}

const std::string& readString(const JSONValue& value, std::string_view key) {
  const auto* s = value.stringValue();
  if (s == nullptr) wrongType(key, "a string");
  return *s;
}

std::int32_t readInt32(const JSONValue& value, std::string_view key) {
  std::int64_t i = readInt(value, key);
  if (i < std::numeric_limits<std::int32_t>::min() || i > std::numeric_limits<std::int32_t>::max()) {
    throw DecodingError("\"" + std::string(key) + "\" does not fit 32 bits");
  }
  return static_cast<std::int32_t>(i);
}

}  // namespace

std::string_view rawValue(AgentProvider provider) { return provider == AgentProvider::codex ? "codex" : "claude"; }

std::string_view displayName(AgentProvider provider) { return provider == AgentProvider::codex ? "Codex" : "Claude"; }

std::optional<AgentProvider> agentProviderFromRawValue(std::string_view raw) {
  for (AgentProvider provider : allAgentProviders) {
    if (rawValue(provider) == raw) return provider;
  }
  return std::nullopt;
}

AgentProvider agentProviderFromSource(const std::optional<std::string>& source) {
  return source == "codex" ? AgentProvider::codex : AgentProvider::claude;
}

JSONValue toJSON(AgentProvider provider) { return JSONValue(rawValue(provider)); }

void fromJSON(const JSONValue& json, AgentProvider& provider) {
  auto parsed = agentProviderFromRawValue(readString(json, "provider"));
  if (!parsed) throw DecodingError("unknown provider");
  provider = *parsed;
}

std::string_view rawValue(HookEvent event) {
  for (const auto& [candidate, name] : hookEventNames) {
    if (candidate == event) return name;
  }
  return {};
}

std::optional<HookEvent> hookEventFromRawValue(std::string_view raw) {
  for (const auto& [event, name] : hookEventNames) {
    if (name == raw) return event;
  }
  return std::nullopt;
}

std::optional<std::string> HookPayload::text(std::string_view key) const {
  const JSONValue* value = raw[key];
  const std::string* s = value != nullptr ? value->stringValue() : nullptr;
  if (s == nullptr) return std::nullopt;
  return *s;
}

std::string HookPayload::sessionId() const { return text("session_id").value_or("unknown"); }
std::optional<std::string> HookPayload::eventName() const { return text("hook_event_name"); }
std::optional<HookEvent> HookPayload::event() const {
  auto name = eventName();
  return name ? hookEventFromRawValue(*name) : std::nullopt;
}
std::optional<std::string> HookPayload::cwd() const { return text("cwd"); }
std::optional<std::string> HookPayload::transcriptPath() const { return text("transcript_path"); }
std::optional<std::string> HookPayload::permissionMode() const { return text("permission_mode"); }
std::optional<std::string> HookPayload::toolName() const { return text("tool_name"); }
std::optional<JSONValue> HookPayload::toolInput() const {
  const JSONValue* value = raw["tool_input"];
  if (value == nullptr) return std::nullopt;
  return *value;
}
std::optional<std::string> HookPayload::toolUseId() const { return text("tool_use_id"); }
bool HookPayload::isAskUserQuestion() const { return toolName() == "AskUserQuestion"; }
bool HookPayload::isCodexUserInputTool() const { return toolName() == "request_user_input"; }
std::optional<std::string> HookPayload::prompt() const { return text("prompt"); }
std::optional<std::string> HookPayload::message() const { return text("message"); }
std::optional<std::string> HookPayload::notificationType() const { return text("notification_type"); }
std::optional<std::string> HookPayload::lastAssistantMessage() const { return text("last_assistant_message"); }
std::optional<std::string> HookPayload::source() const { return text("source"); }
std::optional<std::string> HookPayload::reason() const { return text("reason"); }
std::optional<std::string> HookPayload::trigger() const { return text("trigger"); }

bool Envelope::needsResponse(const HookPayload& payload, AgentProvider provider) {
  const auto* object = payload.raw.objectValue();
  if (object == nullptr || object->empty()) return false;
  auto event = payload.event();
  if (!event) return false;
  if (*event != HookEvent::preToolUse) return *event == HookEvent::permissionRequest;
  return provider == AgentProvider::claude && payload.isAskUserQuestion();
}

JSONValue toJSON(const Envelope& envelope) {
  JSONValue::Object out{
      {"version", envelope.version},
      {"source", envelope.source},
      {"expectsResponse", envelope.expectsResponse},
      {"payload", envelope.payload},
  };
  if (envelope.hookParentPid) out.emplace("hookParentPid", *envelope.hookParentPid);
  return out;
}

void fromJSON(const JSONValue& json, Envelope& envelope) {
  const auto& object = requireObject(json, "envelope");
  Envelope out;
  out.version = readInt(required(object, "version"), "version");
  out.source = readString(required(object, "source"), "source");
  out.expectsResponse = readBool(required(object, "expectsResponse"), "expectsResponse");
  if (const auto* pid = present(object, "hookParentPid")) out.hookParentPid = readInt32(*pid, "hookParentPid");
  out.payload = required(object, "payload");
  envelope = std::move(out);
}

std::string_view rawValue(PermissionDecision::Behavior behavior) {
  return behavior == PermissionDecision::Behavior::deny ? "deny" : "allow";
}

JSONValue toJSON(const PermissionDecision& decision) {
  JSONValue::Object out{
      {"behavior", rawValue(decision.behavior)},
      {"interrupt", decision.interrupt},
  };
  if (decision.message) out.emplace("message", *decision.message);
  return out;
}

void fromJSON(const JSONValue& json, PermissionDecision& decision) {
  const auto& object = requireObject(json, "decision");
  PermissionDecision out;
  const std::string& behavior = readString(required(object, "behavior"), "behavior");
  if (behavior == "allow") {
    out.behavior = PermissionDecision::Behavior::allow;
  } else if (behavior == "deny") {
    out.behavior = PermissionDecision::Behavior::deny;
  } else {
    throw DecodingError("unknown behavior");
  }
  if (const auto* message = present(object, "message")) out.message = readString(*message, "message");
  out.interrupt = readBool(required(object, "interrupt"), "interrupt");
  decision = std::move(out);
}

JSONValue toJSON(const Response& response) {
  JSONValue::Object out{{"version", response.version}};
  if (response.decision) out.emplace("decision", toJSON(*response.decision));
  if (response.answers) {
    JSONValue::Object answers;
    for (const auto& [question, answer] : *response.answers) answers.emplace(question, answer);
    out.emplace("answers", std::move(answers));
  }
  return out;
}

void fromJSON(const JSONValue& json, Response& response) {
  const auto& object = requireObject(json, "reply");
  Response out;
  out.version = readInt(required(object, "version"), "version");
  if (const auto* decision = present(object, "decision")) {
    PermissionDecision parsed;
    fromJSON(*decision, parsed);
    out.decision = std::move(parsed);
  }
  if (const auto* answers = present(object, "answers")) {
    std::map<std::string, std::string> parsed;
    for (const auto& [question, answer] : requireObject(*answers, "answers")) {
      parsed.emplace(question, readString(answer, "answers"));
    }
    out.answers = std::move(parsed);
  }
  response = std::move(out);
}

}  // namespace pellox
