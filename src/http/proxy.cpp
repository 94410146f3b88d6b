#include "http/proxy.h"

#include <algorithm>
#include <cctype>

#include "util.h"

namespace qm::http {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::optional<std::string> variable(const EnvLookup& env, const char* lower_name, const char* upper_name) {
  for (const char* name : {lower_name, upper_name}) {
    auto value = env(name);
    if (value && !util::trim(*value).empty()) return std::string(util::trim(*value));
  }
  return std::nullopt;
}

// An IPv6 host is compared without its brackets.
std::string_view bare_host(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

// The proxy URL fit for a message: "user:password@" left out.
std::string without_userinfo(std::string_view url) {
  auto sep = url.find("://");
  std::size_t start = sep == std::string_view::npos ? 0 : sep + 3;
  std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
  auto at = url.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, start)) + std::string(url.substr(start + at + 1));
}

}  // namespace

bool no_proxy_matches(std::string_view list, std::string_view host) {
  std::string target = lower(bare_host(host));
  while (!target.empty() && target.back() == '.') target.pop_back();
  for (const auto& raw : util::split_entries(list)) {
    std::string entry = lower(raw);
    if (entry == "*") return true;
    std::string_view e = entry;
    if (e.starts_with('[')) {
      auto close = e.find(']');
      e = close == std::string_view::npos ? e.substr(1) : e.substr(1, close - 1);
    } else if (std::ranges::count(e, ':') == 1) {
      e = e.substr(0, e.find(':'));  // "host:port": the port is not compared
    }
    if (e.starts_with("*.")) e.remove_prefix(1);
    if (e.starts_with('.')) e.remove_prefix(1);
    while (!e.empty() && e.back() == '.') e.remove_suffix(1);
    if (e.empty()) continue;
    if (target == e) return true;
    if (target.size() > e.size() && target.ends_with(e) && target[target.size() - e.size() - 1] == '.') return true;
  }
  return false;
}

std::expected<std::optional<std::string>, std::string> proxy_for(std::string_view scheme, std::string_view host,
                                                                  const EnvLookup& env) {
  std::optional<std::string> proxy;
  if (scheme == "https")
    proxy = variable(env, "https_proxy", "HTTPS_PROXY");
  else if (scheme == "http")
    proxy = variable(env, "http_proxy", "HTTP_PROXY");
  if (!proxy) proxy = variable(env, "all_proxy", "ALL_PROXY");
  if (!proxy) return std::nullopt;
  if (auto list = variable(env, "no_proxy", "NO_PROXY"); list && no_proxy_matches(*list, host)) return std::nullopt;

  auto sep = proxy->find("://");
  if (sep == std::string::npos) return "http://" + *proxy;
  std::string proxy_scheme = lower(std::string_view(*proxy).substr(0, sep));
  if (proxy_scheme != "http") return std::unexpected("unsupported proxy " + without_userinfo(*proxy) + ": only http:// proxies are used");
  return "http://" + proxy->substr(sep + 3);
}

}  // namespace qm::http
