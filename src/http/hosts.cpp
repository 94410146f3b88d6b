#include "http/hosts.h"

#include "http/url.h"
#include "util.h"

namespace qm::http::hosts {
namespace {

std::optional<std::string> override_of(const char* variable) {
  auto value = util::env(variable);
  if (!value || util::trim(*value).empty()) return std::nullopt;
  return std::string(util::trim(*value));
}

}  // namespace

std::expected<std::string, std::string> document_url(const char* variable, const char* fallback) {
  auto value = override_of(variable);
  if (!value) return std::string(fallback);
  auto parts = check_request_url(*value);
  if (!parts) return std::unexpected(std::string(variable) + ": " + parts.error());
  return *value;
}

std::expected<std::string, std::string> base_url(const char* variable, const char* fallback) {
  auto value = override_of(variable);
  if (!value) return std::string(fallback);
  while (value->ends_with('/')) value->pop_back();
  auto parts = check_request_url(*value);
  if (!parts) return std::unexpected(std::string(variable) + ": " + parts.error());
  if (parts->path != "/" || parts->has_query)
    return std::unexpected(std::string(variable) + ": expected only a scheme, a host and a port: " + *value);
  return *value;
}

std::expected<std::string, std::string> litellm_prices_url() {
  return document_url("QUILLIMARE_LITELLM_URL", kLiteLlmDefault);
}
std::expected<std::string, std::string> models_dev_url() {
  return document_url("QUILLIMARE_MODELS_DEV_URL", kModelsDevDefault);
}
std::expected<std::string, std::string> anthropic_api_base() {
  return base_url("QUILLIMARE_ANTHROPIC_API_URL", kAnthropicApiDefault);
}
std::expected<std::string, std::string> claude_platform_base() {
  return base_url("QUILLIMARE_CLAUDE_PLATFORM_URL", kClaudePlatformDefault);
}
std::expected<std::string, std::string> chatgpt_base() { return base_url("QUILLIMARE_CHATGPT_URL", kChatGptDefault); }
std::expected<std::string, std::string> cursor_api_base() {
  return base_url("QUILLIMARE_CURSOR_API_URL", kCursorApiDefault);
}

}  // namespace qm::http::hosts
