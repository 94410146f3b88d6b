#pragma once
// Every remote address the program talks to, each replaceable through an environment
// variable (a mirror, a corporate gateway, a test server). Plain http is accepted only for
// loopback hosts; an unusable override is an error, never a silent fall-back to the default.
#include <expected>
#include <string>

namespace qm::http::hosts {

inline constexpr const char* kLiteLlmDefault =
    "https://raw.githubusercontent.com/BerriAI/litellm/main/model_prices_and_context_window.json";
inline constexpr const char* kModelsDevDefault = "https://models.dev/api.json";
inline constexpr const char* kAnthropicApiDefault = "https://api.anthropic.com";
inline constexpr const char* kClaudePlatformDefault = "https://platform.claude.com";
inline constexpr const char* kChatGptDefault = "https://chatgpt.com";
inline constexpr const char* kCursorApiDefault = "https://api2.cursor.sh";

// Whole document URLs (QUILLIMARE_LITELLM_URL, QUILLIMARE_MODELS_DEV_URL).
std::expected<std::string, std::string> litellm_prices_url();
std::expected<std::string, std::string> models_dev_url();

// Scheme, host and optional port, without a trailing slash; callers append their paths.
// QUILLIMARE_ANTHROPIC_API_URL, QUILLIMARE_CLAUDE_PLATFORM_URL, QUILLIMARE_CHATGPT_URL,
// QUILLIMARE_CURSOR_API_URL.
std::expected<std::string, std::string> anthropic_api_base();
std::expected<std::string, std::string> claude_platform_base();
std::expected<std::string, std::string> chatgpt_base();
std::expected<std::string, std::string> cursor_api_base();

// The two checks behind the functions above, for one variable's value.
std::expected<std::string, std::string> document_url(const char* variable, const char* fallback);
std::expected<std::string, std::string> base_url(const char* variable, const char* fallback);

}  // namespace qm::http::hosts
