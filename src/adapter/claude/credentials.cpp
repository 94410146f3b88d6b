#include "adapter/claude/credentials.h"

#include <charconv>
#include <limits>

#include "adapter/claude/credentials_document.h"
#include "private_file.h"
#include "subprocess.h"
#include "util.h"
#include "util_files.h"

namespace qm::claude::credentials {
namespace {

constexpr std::string_view kAccountPrefix = "\"acct\"<blob>=";

std::optional<subprocess::Captured> run_security(const std::vector<std::string>& args, const std::string& input = {}) {
  auto run = subprocess::run_captured("security", args, input, kSecurityTimeout);
  if (!run) return std::nullopt;
  return std::move(*run);
}

std::optional<LoadedCredentials> from_keychain() {
  const std::string service(kKeychainService);
  auto password = run_security({"find-generic-password", "-s", service, "-w"});
  if (!password || password->status != 0 || !util::is_valid_utf8(password->out)) return std::nullopt;
  auto document = parse_json_object(password->out);
  if (!document) return std::nullopt;

  std::optional<std::string> account;
  if (auto listing = run_security({"find-generic-password", "-s", service})) account = account_from_attributes(listing->out);
  if (!account) account = util::env("USER");
  if (!account) return std::nullopt;
  return LoadedCredentials{KeychainSource{std::move(*account)}, std::move(*document)};
}

std::optional<LoadedCredentials> from_file() {
  auto path = credentials_file_path();
  if (!path) return std::nullopt;
  auto text = util::read_file(*path);
  if (!text || !util::is_valid_utf8(*text)) return std::nullopt;
  auto document = parse_json_object(*text);
  if (!document) return std::nullopt;
  return LoadedCredentials{FileSource{std::move(*path)}, std::move(*document)};
}

std::string_view trim_leading_space(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string hex_of(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

}  // namespace

std::optional<std::filesystem::path> credentials_file_path() {
  auto home = util::home_dir();
  if (!home) return std::nullopt;
  return std::filesystem::path(*home) / ".claude" / ".credentials.json";
}

std::optional<LoadedCredentials> load_credentials() {
  if (auto keychain = from_keychain()) return keychain;
  return from_file();
}

std::optional<nlohmann::json> parse_json_object(std::string_view text) { return read_document(text); }

std::optional<std::string> get_string_field(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<ClaudeCredentials> parse_oauth_credentials(const nlohmann::json& document) {
  if (!document.is_object()) return std::nullopt;
  auto oauth = document.find("claudeAiOauth");
  if (oauth == document.end()) return std::nullopt;
  auto token = get_string_field(*oauth, "accessToken");
  if (!token) return std::nullopt;
  ClaudeCredentials c;
  c.access_token = std::move(*token);
  if (auto it = oauth->find("expiresAt"); it != oauth->end()) {
    if (it->is_number_unsigned()) {
      auto v = it->get<std::uint64_t>();
      if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        c.expires_at = static_cast<std::int64_t>(v);
    } else if (it->is_number_integer()) {
      c.expires_at = it->get<std::int64_t>();
    } else if (auto text = number_text(*it)) {
      // Held as written (-0); an integer that fits still counts.
      std::int64_t v;
      auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
      if (ec == std::errc() && end == text->data() + text->size()) c.expires_at = v;
    }
  }
  c.refresh_token = get_string_field(*oauth, "refreshToken");
  if (auto it = oauth->find("scopes"); it != oauth->end() && it->is_array())
    for (const auto& s : *it)
      if (s.is_string()) c.scopes.push_back(s.get<std::string>());
  c.client_id = get_string_field(*oauth, "clientId");
  return c;
}

std::optional<std::string> account_from_attributes(std::string_view listing) {
  while (!listing.empty()) {
    auto eol = listing.find('\n');
    std::string_view line = listing.substr(0, eol);
    listing = eol == std::string_view::npos ? std::string_view{} : listing.substr(eol + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = trim_leading_space(line);
    if (!line.starts_with(kAccountPrefix)) continue;
    auto open = line.find("=\"");
    if (open == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(open + 2);
    if (!rest.ends_with('"')) return std::nullopt;
    rest.remove_suffix(1);
    if (rest.empty() || rest.find('"') != std::string_view::npos) return std::nullopt;
    return std::string(rest);
  }
  return std::nullopt;
}

std::optional<std::string> keychain_add_line(std::string_view account, std::string_view document_text) {
  // `security -i` reads the line as a command line of its own, where a backslash escapes the
  // next character: a domain account (CORP\jdoe) is written with its backslash escaped. A
  // quote, a line break or another control character in the name could end the word or the
  // command early, so such names are refused rather than trusted to the tool's escaping.
  std::string line = "add-generic-password -U -a \"";
  for (unsigned char c : account) {
    if (c == '"' || c < 0x20 || c == 0x7F) return std::nullopt;
    if (c == '\\') line += '\\';
    line += static_cast<char>(c);
  }
  line += "\" -s \"";
  line += kKeychainService;
  line += "\" -X \"";
  line += hex_of(document_text);
  line += '"';
  return line;
}

bool write_credentials(const ClaudeCredentialSource& source, const nlohmann::json& document) {
  std::string text = document_text(document);
  if (const auto* file = std::get_if<FileSource>(&source)) return private_file::replace(file->path, text).has_value();
  auto line = keychain_add_line(std::get<KeychainSource>(source).account, text);
  if (!line) return false;
  auto run = run_security({"-i"}, *line + "\n");
  return run && run->status == 0;
}

}  // namespace qm::claude::credentials
