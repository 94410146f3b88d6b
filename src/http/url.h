#pragma once
// The parts of a URL that requests are checked and routed by.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace qm::http {

struct UrlParts {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 address keeps its brackets
  std::uint16_t port = 0;
  std::string path;    // "/" when the URL has none
  bool has_query = false;
};

std::expected<UrlParts, std::string> parse_url(std::string_view url);

// localhost, 127.0.0.0/8 and ::1.
bool is_loopback_host(std::string_view host);

// https, or plain http to a loopback host; the error names the URL.
std::expected<UrlParts, std::string> check_request_url(std::string_view url);

// Same scheme, host and port: credentials may follow a redirect only within one origin.
bool same_origin(const UrlParts& a, const UrlParts& b);

}  // namespace qm::http
