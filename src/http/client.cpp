#include "http/client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>

#include "http/curl_library.h"
#include "http/proxy.h"
#include "http/url.h"
#include "util.h"

namespace qm::embedded {
extern const std::string_view ca_roots;
}

namespace qm::http {
namespace {

constexpr int kMaxRedirects = 10;

bool iequals(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// Headers that carry the caller's credentials: never sent on to another origin.
bool is_credential(const Header& h) { return iequals(h.name, "Authorization") || iequals(h.name, "Cookie"); }

// A line break would let a value start a header (or a body) of its own; curl would cut at a NUL.
bool breaks_the_line(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::optional<std::string> header_fault(const std::vector<Header>& headers) {
  for (const auto& h : headers) {
    if (breaks_the_line(h.name)) return "refusing a header name with CR, LF or NUL";
    if (breaks_the_line(h.value)) return "refusing the value of header " + h.name + ": it holds CR, LF or NUL";
  }
  return std::nullopt;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Transfer {
  Response response;
  std::size_t cap = 0;
  bool over_cap = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t n = size * count;
  if (t->response.body.size() + n > t->cap) {
    t->over_cap = true;
    return 0;  // aborts the transfer
  }
  t->response.body.append(data, n);
  return n;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    t->response.headers.clear();  // a new response (after 100 Continue, or the next hop)
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    t->response.headers.push_back(
        {std::string(util::trim(line.substr(0, colon))), std::string(util::trim(line.substr(colon + 1)))});
  }
  return n;
}

std::string timeout_text(std::chrono::milliseconds timeout) {
  return "request timed out after " + std::to_string(timeout.count()) + " ms";
}

// One request without following redirects. `redirect` receives the Location target.
std::expected<Response, std::string> perform_once(const Client& client, const Request& request,
                                                  const UrlParts& target, std::chrono::milliseconds remaining,
                                                  std::optional<std::string>& redirect) {
  auto proxy = proxy_for(target.scheme, target.host, [](const char* name) { return util::env(name); });
  if (!proxy) return std::unexpected(proxy.error());

  // Switch off what curl adds by itself; our own header of the same name replaces it anyway.
  std::unique_ptr<curl_slist, CurlDeleter> list;
  auto append = [&](const std::string& line) -> bool {
    curl_slist* next = curl_slist_append(list.get(), line.c_str());
    if (!next) return false;
    list.release();
    list.reset(next);
    return true;
  };
  bool ok = true;
  for (const char* name : {"Accept", "Expect", "Content-Type"})
    if (!header_value(request.headers, name)) ok = ok && append(std::string(name) + ":");
  for (const auto& h : request.headers) ok = ok && append(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
  if (!ok) return std::unexpected("out of memory");

  // Everything the handle points at outlives it: curl may still write to the error buffer
  // while the handle is cleaned up.
  char error[CURL_ERROR_SIZE] = {};
  Transfer transfer;
  transfer.cap = client.body_cap;
  curl_blob roots{const_cast<char*>(client.roots.data()), client.roots.size(), CURL_BLOB_NOCOPY};
  if (auto why = curl_unavailable()) return std::unexpected(*why);
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) return std::unexpected("cannot create an HTTP handle");
  CURL* c = handle.get();

  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(1, remaining.count())));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);  // the proxy never sees our headers
  curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &roots);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(client.body_cap));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
  if (*proxy) {
    curl_easy_setopt(c, CURLOPT_PROXY, (*proxy)->c_str());
    curl_easy_setopt(c, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
    curl_easy_setopt(c, CURLOPT_HTTPPROXYTUNNEL, 1L);
    curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "");
  } else {
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // also keeps curl from reading the variables itself
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  }
  if (request.method == Method::Post) {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  } else {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  }

  CURLcode rc = curl_easy_perform(c);
  if (transfer.over_cap || rc == CURLE_FILESIZE_EXCEEDED)
    return std::unexpected("response body exceeds " + std::to_string(client.body_cap) + " bytes");
  if (rc == CURLE_OPERATION_TIMEDOUT) return std::unexpected(timeout_text(client.timeout));
  if (rc != CURLE_OK) return std::unexpected(error[0] ? std::string(error) : std::string(curl_easy_strerror(rc)));

  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &transfer.response.status);
  char* location = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) redirect = location;
  return std::move(transfer.response);
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

std::string_view default_roots() { return embedded::ca_roots; }

std::optional<std::string_view> header_value(const std::vector<Header>& headers, std::string_view name) {
  for (const auto& h : headers)
    if (iequals(h.name, name)) return std::string_view(h.value);
  return std::nullopt;
}

std::expected<Response, std::string> send(const Client& client, const Request& original) {
  global_init();
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + client.timeout;

  if (auto fault = header_fault(original.headers)) return std::unexpected(*fault);
  Request request = original;
  auto target = check_request_url(request.url);
  if (!target) return std::unexpected(target.error());
  const UrlParts origin = *target;

  for (int hop = 0;; ++hop) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (remaining.count() <= 0) return std::unexpected(timeout_text(client.timeout));
    std::optional<std::string> location;
    auto response = perform_once(client, request, *target, remaining, location);
    if (!response || !is_redirect(response->status) || !location) return response;
    if (hop == kMaxRedirects) return std::unexpected("too many redirects");

    auto next = check_request_url(*location);
    if (!next) return std::unexpected(next.error());
    // What went over TLS never continues in the clear, not even to loopback.
    if (target->scheme == "https" && next->scheme != "https")
      return std::unexpected("refusing a redirect from https to http: " + *location);
    target = std::move(next);
    request.url = *location;
    // 303 always, and 301/302 after a POST, continue as a GET without the body.
    if (response->status == 303 || (request.method == Method::Post && response->status <= 302)) {
      request.method = Method::Get;
      request.body.clear();
      std::erase_if(request.headers, [](const Header& h) { return iequals(h.name, "Content-Type"); });
    }
    if (!same_origin(origin, *target)) {
      // A 307/308 would re-post the body, which may be a credential itself (a refresh token).
      if (request.method == Method::Post)
        return std::unexpected("refusing to re-send a POST body to another origin: " + *location);
      std::erase_if(request.headers, is_credential);
    }
  }
}

std::expected<Response, std::string> get(const Client& client, std::string url, std::vector<Header> headers) {
  return send(client, Request{Method::Get, std::move(url), std::move(headers), {}});
}

std::expected<Response, std::string> post(const Client& client, std::string url, std::vector<Header> headers,
                                          std::string body) {
  return send(client, Request{Method::Post, std::move(url), std::move(headers), std::move(body)});
}

}  // namespace qm::http
