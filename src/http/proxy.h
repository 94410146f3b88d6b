#pragma once
// Which proxy a request goes through, decided by our own reading of the proxy variables
// (libcurl's would also take SOCKS proxies, and ignores HTTP_PROXY for https URLs).
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qm::http {

// Value of an environment variable; none when unset.
using EnvLookup = std::function<std::optional<std::string>(const char*)>;

// The HTTP proxy ("http://host:port", credentials kept) for a request to `scheme`://`host`,
// or none for a direct connection. https takes HTTPS_PROXY, http takes HTTP_PROXY, both fall
// back to ALL_PROXY; the lower-case spelling of each wins over the upper-case one, and an
// empty value counts as unset. NO_PROXY ("*", or hosts and domain suffixes separated by
// commas) sends matching hosts direct. A proxy other than plain HTTP is an error: it is
// tunnelled with CONNECT and nothing else.
std::expected<std::optional<std::string>, std::string> proxy_for(std::string_view scheme, std::string_view host,
                                                                  const EnvLookup& env);

// Whether a NO_PROXY list exempts `host`.
bool no_proxy_matches(std::string_view list, std::string_view host);

}  // namespace qm::http
