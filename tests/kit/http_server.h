#pragma once
// A loopback HTTP or HTTPS server with scripted responses that records what it receives,
// and a loopback HTTP CONNECT proxy. Both listen on 127.0.0.1 at a free port and stop when
// destroyed. The HTTPS server's certificate chains to a test CA made once per process.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kit/env.h"

namespace qm::kit {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct ScriptedResponse {
  int status = 200;
  // Sent in this order, then Content-Length (unless given, or Transfer-Encoding is) and
  // Connection: close.
  HeaderList headers = {};
  std::string body = {};
  std::chrono::milliseconds delay{0};  // waited before anything is sent
};

struct ReceivedRequest {
  std::string method;
  std::string target;  // as on the request line (for CONNECT: "host:port")
  HeaderList headers;  // in received order
  std::string body;

  std::string path() const { return target.substr(0, target.find('?')); }
  // First header of that name, compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
};

// PEM texts of the test CA and of a server certificate for 127.0.0.1 and localhost.
struct TestCertificates {
  std::string ca_pem;
  std::string server_cert_pem;
  std::string server_key_pem;
};
const TestCertificates& test_certificates();

// Unsets every proxy variable for the life of `env`, so requests go direct.
void unset_proxy_variables(EnvGuard& env);

// A loopback port that refuses connections for as long as this lives: it is bound but never
// listened on, so no other test can take it over (a port freed by a stopped server can be).
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(std::string_view path = "") const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

namespace detail {
class Listener;
}

class HttpServer {
 public:
  enum class Scheme { Http, Https };
  explicit HttpServer(Scheme scheme = Scheme::Http);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Responses for a path (query left out), played in order, the last one repeating.
  // A path without responses gets 404.
  void on(const std::string& path, std::vector<ScriptedResponse> responses);
  void on(const std::string& path, ScriptedResponse response) { on(path, std::vector{std::move(response)}); }

  std::uint16_t port() const;
  // "http://127.0.0.1:PORT" or "https://..." followed by `path`.
  std::string url(std::string_view path = "") const;
  std::vector<ReceivedRequest> requests() const;

 private:
  ScriptedResponse next_response(const std::string& path);

  Scheme scheme_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<ScriptedResponse>> routes_;
  std::map<std::string, std::size_t> served_;
  std::vector<ReceivedRequest> received_;
  std::unique_ptr<detail::Listener> listener_;
};

// Accepts "CONNECT host:port" for loopback targets only and relays bytes both ways.
class ConnectProxy {
 public:
  ConnectProxy();
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  std::string url() const;  // "http://127.0.0.1:PORT"
  std::vector<ReceivedRequest> requests() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> received_;
  std::unique_ptr<detail::Listener> listener_;
};

}  // namespace qm::kit
