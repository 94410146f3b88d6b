#pragma once
// HTTP/1.1 requests over libcurl: our headers only and in our order, TLS verified against
// the compiled-in roots, redirects, one overall time-out, a body cap enforced while reading,
// and proxies chosen by our own code. One curl handle per request.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::http {

struct Header {
  std::string name;
  std::string value;

  bool operator==(const Header&) const = default;
};

enum class Method : std::uint8_t { Get = 0, Post = 1 };

struct Request {
  Method method = Method::Get;
  std::string url;
  std::vector<Header> headers;  // sent in this order after Host; nothing else is added
  std::string body;             // POST only
};

struct Response {
  long status = 0;
  std::vector<Header> headers;  // of the final response, in received order
  std::string body;
};

// The compiled-in public root certificates (PEM).
std::string_view default_roots();

struct Client {
  std::chrono::milliseconds timeout{10'000};  // the whole request, redirects included
  std::size_t body_cap = 67'108'864;          // longest body read, in bytes
  std::string_view roots = default_roots();   // PEM roots that server certificates must chain to
};

// Any status is a response; an error is a transport failure, a refused URL or header, a
// refused redirect (https to http, or a POST body re-sent to another origin), a body past
// the cap, or a time-out.
std::expected<Response, std::string> send(const Client& client, const Request& request);
std::expected<Response, std::string> get(const Client& client, std::string url, std::vector<Header> headers = {});
std::expected<Response, std::string> post(const Client& client, std::string url, std::vector<Header> headers,
                                          std::string body);

// The value of the first header of that name (case-insensitive), or none.
std::optional<std::string_view> header_value(const std::vector<Header>& headers, std::string_view name);

}  // namespace qm::http
