#include "BridgeClient.h"

#include <locale.h>
#include <unistd.h>

#include <cstdlib>

#include "Codec.h"
#include "JSONDocument.h"
#include "JSONWriter.h"
#include "UnixSocket.h"

namespace pellox {

namespace BridgeClient {

namespace {

struct Connection {
  int fd;
  ~Connection() { ::close(fd); }
};

// The members that decide whether a reply is awaited, read on their own: only
// their string values count, and the event may be huge.
HookPayload routingView(const JSONDocument& event) {
  JSONValue::Object members;
  for (const std::string_view key : {"hook_event_name", "tool_name"}) {
    const auto text = event.memberText(key);
    if (text && text->front() == '"') members.emplace(key, readJSON(*text));
  }
  return HookPayload{std::move(members)};
}

// The bytes of PelloxCodec::encodeLine(envelope) with `payload` as the
// payload, handed to the socket piece by piece as they are made: the event is
// never copied nor held a second time.
void sendRequestLine(int fd, const Envelope& envelope, const JSONDocument& payload) {
  JSONWriter out([fd](std::string_view bytes) { UnixSocket::writeAll(fd, bytes); });
  const JSONValue fields = toJSON(envelope);
  out.put('{');
  bool first = true;
  for (const auto& [key, value] : *fields.objectValue()) {
    if (!first) out.put(',');
    first = false;
    out.writeString(std::string_view(key));
    out.put(':');
    if (key == "payload") {
      payload.write(out);
    } else {
      out.write(value);
    }
  }
  out.put("}\n");
  out.flush();
}

std::optional<std::string> forward(std::string_view input, const Options& options) {
  if (input.empty()) return std::nullopt;
  // Checked whole before anything is sent, so that writing it cannot fail.
  const JSONDocument event = JSONDocument::read(input);
  if (!event.isObject()) return std::nullopt;

  const AgentProvider provider = agentProviderFromSource(options.source);
  const HookPayload routing = routingView(event);
  const bool expects = Envelope::needsResponse(routing, provider);
  const Envelope envelope{
      .source = std::string(rawValue(provider)),
      .expectsResponse = expects,
      .hookParentPid = options.parentPid,
  };

  if (!UnixSocket::isOwnSocket(options.socketPath)) return std::nullopt;
  const Connection connection{UnixSocket::connect(options.socketPath, options.connectTimeout)};
  // The event may carry prompts, commands and file contents, and an "allow"
  // from the other end is obeyed: talk only to a listener of our own user.
  if (!UnixSocket::peerIsSameUser(connection.fd)) return std::nullopt;
  sendRequestLine(connection.fd, envelope, event);
  if (!expects) return std::nullopt;

  const auto reply = UnixSocket::readLine(connection.fd, maxReplyBytes, options.decisionTimeout);
  if (!reply) return std::nullopt;
  const auto response = PelloxCodec::decode<Response>(*reply);

  if (routing.event() == HookEvent::permissionRequest) return HookOutput::permissionOutput(response, provider);
  const auto toolInput = event.memberText("tool_input");
  return HookOutput::questionOutput(response, toolInput ? std::optional(readJSON(*toolInput)) : std::nullopt);
}

}  // namespace

std::optional<double> parseSeconds(const std::string& word) {
  if (word.empty() || std::string_view(" \t\n\v\f\r").find(word.front()) != std::string_view::npos) {
    return std::nullopt;
  }
  static const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
  char* end = nullptr;
  const double value = ::strtod_l(word.c_str(), &end, c);
  if (end != word.c_str() + word.size()) return std::nullopt;
  return value;
}

void applyArguments(Options& options, std::span<const std::string> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool hasValue = i + 1 < args.size();
    if (word == "--socket" && hasValue) {
      options.socketPath = args[++i];
    } else if (word == "--connect-timeout" || word == "--wait-timeout") {
      const auto seconds = hasValue ? parseSeconds(args[i + 1]) : std::nullopt;
      if (!seconds) continue;
      (word == "--connect-timeout" ? options.connectTimeout : options.decisionTimeout) = *seconds;
      ++i;
    } else if (word == "--source" && hasValue) {
      options.source = args[++i] == "codex" ? "codex" : "claude";
    }
  }
}

std::optional<std::string> run(std::string_view input, const Options& options) noexcept {
  try {
    return forward(input, options);
  } catch (...) {
    // Not JSON, no listener, a time-out, a bad reply: the agent carries on
    // as if no hook had answered.
    return std::nullopt;
  }
}

}  // namespace BridgeClient

namespace HookOutput {

namespace {

std::optional<std::string> encoded(JSONValue::Object specific) {
  try {
    return PelloxCodec::encode(JSONValue(JSONValue::Object{{"hookSpecificOutput", std::move(specific)}}));
  } catch (const EncodingError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> permissionOutput(const Response& response, AgentProvider provider) {
  if (!response.decision) return std::nullopt;
  const PermissionDecision& decision = *response.decision;

  JSONValue::Object out{{"behavior", rawValue(decision.behavior)}};
  if (decision.behavior == PermissionDecision::Behavior::deny) {
    if (decision.message && !decision.message->empty()) out.emplace("message", *decision.message);
    if (decision.interrupt && provider == AgentProvider::claude) out.emplace("interrupt", true);
  }
  return encoded({{"decision", std::move(out)}, {"hookEventName", "PermissionRequest"}});
}

std::optional<std::string> questionOutput(const Response& response, const std::optional<JSONValue>& toolInput) {
  if (!response.answers || response.answers->empty() || !toolInput || !toolInput->isObject()) return std::nullopt;

  JSONValue::Object answers;
  for (const auto& [question, answer] : *response.answers) answers.emplace(question, answer);
  JSONValue::Object updated = *toolInput->objectValue();
  updated.insert_or_assign("answers", std::move(answers));

  return encoded({
      {"hookEventName", "PreToolUse"},
      {"permissionDecision", "allow"},
      {"updatedInput", std::move(updated)},
  });
}

}  // namespace HookOutput

}  // namespace pellox
