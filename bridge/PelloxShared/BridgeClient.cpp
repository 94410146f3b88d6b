#include "BridgeClient.h"

#include <locale.h>
#include <unistd.h>

#include <cstdlib>

#include "Codec.h"
#include "UnixSocket.h"

namespace pellox {

namespace BridgeClient {

namespace {

struct Connection {
  int fd;
  ~Connection() { ::close(fd); }
};

std::optional<std::string> forward(std::string_view input, const Options& options) {
  if (input.empty()) return std::nullopt;
  const JSONValue event = readJSON(input);
  if (!event.isObject()) return std::nullopt;

  const AgentProvider provider = agentProviderFromSource(options.source);
  const HookPayload payload{event};
  const bool expects = Envelope::needsResponse(payload, provider);
  const Envelope envelope{
      .source = std::string(rawValue(provider)),
      .expectsResponse = expects,
      .hookParentPid = options.parentPid,
      .payload = event,
  };
  const std::string line = PelloxCodec::encodeLine(envelope);

  const Connection connection{UnixSocket::connect(options.socketPath, options.connectTimeout)};
  // The event may carry prompts, commands and file contents, and an "allow"
  // from the other end is obeyed: talk only to a listener of our own user.
  if (!UnixSocket::peerIsSameUser(connection.fd)) return std::nullopt;
  UnixSocket::writeAll(connection.fd, line);
  if (!expects) return std::nullopt;

  const auto reply = UnixSocket::readLine(connection.fd, maxReplyBytes, options.decisionTimeout);
  if (!reply) return std::nullopt;
  const auto response = PelloxCodec::decode<Response>(*reply);

  if (payload.event() == HookEvent::permissionRequest) return HookOutput::permissionOutput(response, provider);
  return HookOutput::questionOutput(response, payload.toolInput());
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
