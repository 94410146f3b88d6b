#pragma once
// The OAuth credentials Claude Code keeps for the signed-in user: the keychain item read
// through `security` (found on PATH), else the credentials file under ~/.claude. Nothing is
// cached; every call reads the source again, and no failure is ever printed.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::claude::credentials {

inline constexpr std::string_view kKeychainService = "Claude Code-credentials";
// `security` may sit on a keychain prompt for ever.
inline constexpr std::chrono::milliseconds kSecurityTimeout{10'000};

struct KeychainSource {
  std::string account;
  bool operator==(const KeychainSource&) const = default;
};
struct FileSource {
  std::filesystem::path path;
  bool operator==(const FileSource&) const = default;
};
// Where a document came from, and so where a renewed one goes back to.
using ClaudeCredentialSource = std::variant<KeychainSource, FileSource>;

struct ClaudeCredentials {
  std::string access_token;
  std::optional<std::int64_t> expires_at;  // milliseconds since the epoch
  std::optional<std::string> refresh_token;
  std::vector<std::string> scopes;
  std::optional<std::string> client_id;

  bool operator==(const ClaudeCredentials&) const = default;
};

// The whole document as read, so that a write-back keeps the members we do not know.
struct LoadedCredentials {
  ClaudeCredentialSource source;
  nlohmann::json document;
};

std::optional<LoadedCredentials> load_credentials();

// From the document's "claudeAiOauth"; none when it is missing or has no string "accessToken".
std::optional<ClaudeCredentials> parse_oauth_credentials(const nlohmann::json& document);

// The text, trimmed, when it is one JSON object; numbers we do not read keep their text
// (credentials_document.h).
std::optional<nlohmann::json> parse_json_object(std::string_view text);
std::optional<std::string> get_string_field(const nlohmann::json& object, std::string_view key);

// The account name from `security find-generic-password` attribute output: the first line
// starting with "acct"<blob>= decides; none when it is malformed, empty or holds a quote.
std::optional<std::string> account_from_attributes(std::string_view listing);

// The default credentials file: ~/.claude/.credentials.json.
std::optional<std::filesystem::path> credentials_file_path();

// Writes the document (compact, keys sorted, numbers as read) back to its source: the keychain item through
// `security -i`, or the file through an exclusive 0600 temporary file and a rename. False
// when the write failed or was refused (an account name that would break the command line).
bool write_credentials(const ClaudeCredentialSource& source, const nlohmann::json& document);

// The "add-generic-password" line for `security -i` (a backslash in the account escaped), or
// none for an account that cannot be written into it safely (a quote or a control character).
std::optional<std::string> keychain_add_line(std::string_view account, std::string_view document_text);

}  // namespace qm::claude::credentials
