#include "http/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>

#include "http/curl_library.h"

namespace qm::http {
namespace {

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::optional<std::string> part(CURLU* u, CURLUPart which, unsigned flags = 0) {
  char* out = nullptr;
  if (curl_url_get(u, which, &out, flags) != CURLUE_OK || !out) return std::nullopt;
  std::string text(out);
  curl_free(out);
  return text;
}

}  // namespace

std::expected<UrlParts, std::string> parse_url(std::string_view url) {
  if (auto why = curl_unavailable()) return std::unexpected(*why);
  std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
  if (!u) return std::unexpected("out of memory");
  std::string text(url);
  if (curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    return std::unexpected("invalid URL: " + text);
  UrlParts parts;
  auto scheme = part(u.get(), CURLUPART_SCHEME);
  auto host = part(u.get(), CURLUPART_HOST);
  auto port = part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || host->empty() || !port) return std::unexpected("invalid URL: " + text);
  parts.scheme = lower(*scheme);
  parts.host = lower(*host);
  unsigned long n = std::strtoul(port->c_str(), nullptr, 10);
  if (n == 0 || n > 65535) return std::unexpected("invalid URL: " + text);
  parts.port = static_cast<std::uint16_t>(n);
  parts.path = part(u.get(), CURLUPART_PATH).value_or("/");
  if (parts.path.empty()) parts.path = "/";
  parts.has_query = part(u.get(), CURLUPART_QUERY).has_value();
  return parts;
}

bool is_loopback_host(std::string_view host) {
  if (host == "localhost" || host == "[::1]" || host == "::1") return true;
  // A dotted IPv4 address whose first octet is 127.
  if (!host.starts_with("127.")) return false;
  int dots = 0;
  std::size_t digits = 0;
  for (char c : host) {
    if (c == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

std::expected<UrlParts, std::string> check_request_url(std::string_view url) {
  auto parts = parse_url(url);
  if (!parts) return parts;
  if (parts->scheme == "https") return parts;
  if (parts->scheme == "http" && is_loopback_host(parts->host)) return parts;
  return std::unexpected("refusing " + std::string(url) + ": only https, or http to a loopback host");
}

bool same_origin(const UrlParts& a, const UrlParts& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

}  // namespace qm::http
