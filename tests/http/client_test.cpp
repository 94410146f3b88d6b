#include "http/client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "kit/env.h"
#include "kit/http_server.h"

namespace qm::http {
namespace {

using kit::HttpServer;
using kit::ScriptedResponse;
using namespace std::chrono_literals;

class HttpClient : public ::testing::Test {
 protected:
  HttpClient() { kit::unset_proxy_variables(env_); }
  kit::EnvGuard env_;
};

std::vector<std::string> header_names(const kit::ReceivedRequest& r) {
  std::vector<std::string> names;
  for (const auto& h : r.headers) names.push_back(h.first);
  return names;
}

TEST_F(HttpClient, GetSendsOnlyOurHeadersInOrder) {
  HttpServer server;
  server.on("/doc", ScriptedResponse{.status = 200, .headers = {{"X-Reply", "yes"}}, .body = "hello"});
  auto r = get(Client{}, server.url("/doc?x=1"), {{"User-Agent", "claude-code/20.0.21"}, {"Authorization", "Bearer t"},
                                                  {"anthropic-beta", "oauth-2025-04-20"}, {"Accept", "application/json"}});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "hello");
  EXPECT_EQ(header_value(r->headers, "x-reply"), "yes");

  auto received = server.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "GET");
  EXPECT_EQ(received[0].target, "/doc?x=1");
  EXPECT_EQ(header_names(received[0]),
            (std::vector<std::string>{"Host", "User-Agent", "Authorization", "anthropic-beta", "Accept"}));
  EXPECT_EQ(received[0].header("Accept"), "application/json");
}

TEST_F(HttpClient, GetWithoutHeadersSendsOnlyHost) {
  HttpServer server;
  server.on("/", ScriptedResponse{.body = "{}"});
  ASSERT_TRUE(get(Client{}, server.url("/")).has_value());
  EXPECT_EQ(header_names(server.requests().at(0)), std::vector<std::string>{"Host"});
}

TEST_F(HttpClient, PostSendsBodyWithoutExpectOrDefaultContentType) {
  HttpServer server;
  server.on("/v1/oauth/token", ScriptedResponse{.body = "{\"ok\":true}"});
  std::string big(2 * 1024 * 1024, 'x');  // large enough that curl would ask for 100-continue
  for (const std::string& body : {std::string("{\"grant_type\":\"refresh_token\"}"), big}) {
    auto r = post(Client{}, server.url("/v1/oauth/token"), {{"Content-Type", "application/json"}}, body);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->body, "{\"ok\":true}");
  }
  auto received = server.requests();
  ASSERT_EQ(received.size(), 2u);
  for (const auto& req : received) {
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(header_names(req), (std::vector<std::string>{"Host", "Content-Type", "Content-Length"}));
  }
  EXPECT_EQ(received[0].body, "{\"grant_type\":\"refresh_token\"}");
  EXPECT_EQ(received[1].body.size(), big.size());

  ASSERT_TRUE(post(Client{}, server.url("/v1/oauth/token"), {}, "a=b").has_value());
  EXPECT_FALSE(server.requests().back().header("Content-Type").has_value());
}

TEST_F(HttpClient, HeadersWithLineBreaksOrNulAreRefused) {
  HttpServer server;
  server.on("/", ScriptedResponse{.body = "{}"});
  using namespace std::string_literals;
  const std::vector<Header> bad = {
      {"X-Value", "a\r\nX-Injected: 1"}, {"X-Value", "a\nb"}, {"X-Value", "a\rb"}, {"X-Value", "a\0b"s},
      {"X-Name\r\nX-Injected", "1"},     {"X-\nName", "1"},   {"X-Name\0"s, "1"},
  };
  for (const auto& header : bad) {
    for (Method method : {Method::Get, Method::Post}) {
      auto r = send(Client{}, Request{method, server.url("/"), {{"Accept", "*/*"}, header}, "{}"});
      ASSERT_FALSE(r.has_value()) << header.name;
      EXPECT_NE(r.error().find("CR, LF or NUL"), std::string::npos) << r.error();
    }
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpClient, OtherStatusesAreResponses) {
  HttpServer server;
  server.on("/missing", ScriptedResponse{.status = 404, .body = "nope"});
  server.on("/limited", ScriptedResponse{.status = 429, .headers = {{"Retry-After", "30"}}});
  auto missing = get(Client{}, server.url("/missing"));
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "nope");
  auto limited = get(Client{}, server.url("/limited"));
  ASSERT_TRUE(limited.has_value());
  EXPECT_EQ(limited->status, 429);
  EXPECT_EQ(header_value(limited->headers, "Retry-After"), "30");
}

TEST_F(HttpClient, ConnectionRefusedIsAnError) {
  kit::RefusingPort closed;
  auto r = get(Client{}, closed.url("/"));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("onnect"), std::string::npos) << r.error();  // curl's "Couldn't connect" / "Failed to connect"
}

TEST_F(HttpClient, RefusesPlainHttpBeyondLoopback) {
  auto r = get(Client{}, "http://example.invalid/x");
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("only https"), std::string::npos) << r.error();
}

TEST_F(HttpClient, HttpsVerifiesAgainstTheHandedRoots) {
  HttpServer server(HttpServer::Scheme::Https);
  server.on("/secure", ScriptedResponse{.body = "tls"});
  Client trusting{.roots = kit::test_certificates().ca_pem};
  auto r = get(trusting, server.url("/secure"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->body, "tls");
  auto by_name = get(trusting, "https://localhost:" + std::to_string(server.port()) + "/secure");
  ASSERT_TRUE(by_name.has_value()) << by_name.error();

  // The compiled-in public roots do not know the test CA.
  auto untrusted = get(Client{}, server.url("/secure"));
  EXPECT_FALSE(untrusted.has_value());
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HttpClient, CompiledInRootsIgnoreTheCertificateVariables) {
  HttpServer server(HttpServer::Scheme::Https);
  server.on("/secure", ScriptedResponse{.body = "tls"});
  kit::TempDir dir;
  kit::write_file(dir / "test-ca.pem", kit::test_certificates().ca_pem);
  for (const char* name : {"SSL_CERT_FILE", "CURL_CA_BUNDLE"}) env_.set(name, (dir / "test-ca.pem").string());
  env_.set("SSL_CERT_DIR", dir.path().string());
  auto r = get(Client{}, server.url("/secure"));
  ASSERT_FALSE(r.has_value()) << "trusted a CA named by the environment";
  // The server itself is sound: the same CA handed to the client is trusted.
  ASSERT_TRUE(get(Client{.roots = kit::test_certificates().ca_pem}, server.url("/secure")).has_value());
}

// The base64 bodies of the certificates in a PEM text, without line breaks.
std::vector<std::string> certificate_bodies(std::string_view pem) {
  constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  std::vector<std::string> out;
  for (auto at = pem.find(begin); at != std::string_view::npos; at = pem.find(begin, at)) {
    at += begin.size();
    auto stop = pem.find(end, at);
    if (stop == std::string_view::npos) break;
    std::string body;
    for (char c : pem.substr(at, stop - at))
      if (!std::isspace(static_cast<unsigned char>(c))) body += c;
    out.push_back(std::move(body));
    at = stop;
  }
  return out;
}

std::vector<std::filesystem::path> sorted_crt_files(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir, ec), last; !ec && it != last; it.increment(ec))
    if (it->path().extension() == ".crt") files.push_back(it->path());
  std::ranges::sort(files);
  return files;
}

TEST(CompiledInRoots, AreThePublicSetAlone) {
  const auto embedded = certificate_bodies(default_roots());
  std::vector<std::string> mozilla;
  for (const auto& file : sorted_crt_files(QM_CA_ROOTS_DIR))
    for (auto& body : certificate_bodies(kit::read_file(file))) mozilla.push_back(std::move(body));
  ASSERT_GT(mozilla.size(), 100u) << QM_CA_ROOTS_DIR;
  EXPECT_EQ(embedded.size(), mozilla.size());
  EXPECT_TRUE(embedded == mozilla) << "not the public roots in file-name order";

  // Certificate authorities added on this machine stay out.
  for (const auto& file : sorted_crt_files("/usr/local/share/ca-certificates"))
    for (const auto& body : certificate_bodies(kit::read_file(file)))
      EXPECT_EQ(std::ranges::count(embedded, body), 0) << file;
}

TEST_F(HttpClient, SlowReplyPastTheTimeOutIsAnError) {
  HttpServer server;
  server.on("/slow", ScriptedResponse{.body = "late", .delay = 30s});
  auto r = get(Client{.timeout = 200ms}, server.url("/slow"));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("timed out"), std::string::npos) << r.error();
}

TEST_F(HttpClient, TimeOutCoversEveryRedirectHop) {
  // Each of the three requests alone is well inside the time-out; together they are not.
  HttpServer server;
  server.on("/a", ScriptedResponse{.status = 302, .headers = {{"Location", "/b"}}, .delay = 400ms});
  server.on("/b", ScriptedResponse{.status = 302, .headers = {{"Location", "/c"}}, .delay = 400ms});
  server.on("/c", ScriptedResponse{.body = "arrived", .delay = 400ms});
  auto r = get(Client{.timeout = 1000ms}, server.url("/a"));
  ASSERT_FALSE(r.has_value()) << r->body;
  EXPECT_NE(r.error().find("timed out after 1000 ms"), std::string::npos) << r.error();
}

TEST_F(HttpClient, BodyCapIsEnforced) {
  HttpServer server;
  server.on("/exact", ScriptedResponse{.body = std::string(1000, 'a')});
  server.on("/over", ScriptedResponse{.body = std::string(1001, 'a')});
  // Without a length up front the cap has to hold while the body streams in.
  std::string chunk(600, 'b');
  std::string chunked;
  for (int i = 0; i < 4; ++i) chunked += "258\r\n" + chunk + "\r\n";
  chunked += "0\r\n\r\n";
  server.on("/chunked", ScriptedResponse{.headers = {{"Transfer-Encoding", "chunked"}}, .body = chunked});

  Client capped{.body_cap = 1000};
  auto exact = get(capped, server.url("/exact"));
  ASSERT_TRUE(exact.has_value()) << exact.error();
  EXPECT_EQ(exact->body.size(), 1000u);
  for (const char* path : {"/over", "/chunked"}) {
    auto r = get(capped, server.url(path));
    ASSERT_FALSE(r.has_value()) << path;
    EXPECT_NE(r.error().find("exceeds 1000 bytes"), std::string::npos) << r.error();
  }
  auto whole = get(Client{}, server.url("/chunked"));
  ASSERT_TRUE(whole.has_value()) << whole.error();
  EXPECT_EQ(whole->body, chunk + chunk + chunk + chunk);
}

TEST_F(HttpClient, RedirectWithinTheOriginKeepsCredentials) {
  HttpServer server;
  server.on("/old", ScriptedResponse{.status = 301, .headers = {{"Location", "/new"}}});
  server.on("/new", ScriptedResponse{.body = "moved"});
  auto r = get(Client{}, server.url("/old"), {{"Authorization", "Bearer t"}, {"X-Trace", "1"}});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "moved");
  auto received = server.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].target, "/new");
  EXPECT_EQ(received[1].header("Authorization"), "Bearer t");
}

TEST_F(HttpClient, RedirectToAnotherHostDropsCredentials) {
  HttpServer origin;
  HttpServer other;
  origin.on("/start", ScriptedResponse{.status = 302, .headers = {{"Location", other.url("/land")}}});
  other.on("/land", ScriptedResponse{.body = "landed"});
  auto r = get(Client{}, origin.url("/start"),
               {{"Authorization", "Bearer secret"}, {"Cookie", "session=1"}, {"X-Trace", "1"}});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->body, "landed");
  auto landed = other.requests();
  ASSERT_EQ(landed.size(), 1u);
  EXPECT_EQ(header_names(landed[0]), (std::vector<std::string>{"Host", "X-Trace"}));
}

TEST_F(HttpClient, RedirectMethodRules) {
  HttpServer server;
  server.on("/see-other", ScriptedResponse{.status = 303, .headers = {{"Location", "/target"}}});
  server.on("/temporary", ScriptedResponse{.status = 307, .headers = {{"Location", "/target"}}});
  server.on("/target", ScriptedResponse{.body = "done"});
  ASSERT_TRUE(post(Client{}, server.url("/see-other"), {{"Content-Type", "application/json"}}, "{}").has_value());
  ASSERT_TRUE(post(Client{}, server.url("/temporary"), {{"Content-Type", "application/json"}}, "{}").has_value());
  auto received = server.requests();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[1].method, "GET");
  EXPECT_EQ(received[1].body, "");
  EXPECT_FALSE(received[1].header("Content-Type").has_value());
  EXPECT_EQ(received[3].method, "POST");
  EXPECT_EQ(received[3].body, "{}");
}

TEST_F(HttpClient, PostBodyNeverFollowsToAnotherOrigin) {
  HttpServer origin;
  HttpServer other;
  other.on("/token", ScriptedResponse{.body = "stolen"});
  for (int status : {307, 308}) {
    std::string path = "/moved-" + std::to_string(status);
    origin.on(path, ScriptedResponse{.status = status, .headers = {{"Location", other.url("/token")}}});
    auto r = post(Client{}, origin.url(path), {{"Content-Type", "application/json"}}, R"({"refresh_token":"rt"})");
    ASSERT_FALSE(r.has_value()) << status;
    EXPECT_NE(r.error().find("another origin"), std::string::npos) << r.error();
  }
  EXPECT_TRUE(other.requests().empty());
}

TEST_F(HttpClient, RedirectFromHttpsToPlainHttpIsRefused) {
  HttpServer secure(HttpServer::Scheme::Https);
  HttpServer plain;
  plain.on("/land", ScriptedResponse{.body = "downgraded"});
  secure.on("/start", ScriptedResponse{.status = 302, .headers = {{"Location", plain.url("/land")}}});
  auto r = get(Client{.roots = kit::test_certificates().ca_pem}, secure.url("/start"), {{"X-Trace", "1"}});
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("https to http"), std::string::npos) << r.error();
  EXPECT_TRUE(plain.requests().empty());
}

TEST_F(HttpClient, RedirectsAreBounded) {
  HttpServer server;
  server.on("/loop", ScriptedResponse{.status = 302, .headers = {{"Location", "/loop"}}});
  server.on("/away", ScriptedResponse{.status = 302, .headers = {{"Location", "http://example.invalid/"}}});
  auto loop = get(Client{}, server.url("/loop"));
  ASSERT_FALSE(loop.has_value());
  EXPECT_EQ(loop.error(), "too many redirects");
  auto away = get(Client{}, server.url("/away"));
  ASSERT_FALSE(away.has_value());
  EXPECT_NE(away.error().find("only https"), std::string::npos) << away.error();
}

TEST_F(HttpClient, ProxyTunnelsWithConnect) {
  HttpServer server(HttpServer::Scheme::Https);
  server.on("/via", ScriptedResponse{.body = "proxied"});
  HttpServer plain;
  plain.on("/via", ScriptedResponse{.body = "plain"});
  kit::ConnectProxy proxy;
  env_.set("HTTPS_PROXY", proxy.url());
  env_.set("http_proxy", proxy.url());

  auto r = get(Client{.roots = kit::test_certificates().ca_pem}, server.url("/via"), {{"Authorization", "Bearer t"}});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->body, "proxied");
  auto p = get(Client{}, plain.url("/via"));
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->body, "plain");

  auto tunnels = proxy.requests();
  ASSERT_EQ(tunnels.size(), 2u);
  EXPECT_EQ(tunnels[0].method, "CONNECT");
  EXPECT_EQ(tunnels[0].target, "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_FALSE(tunnels[0].header("Authorization").has_value());
  EXPECT_EQ(tunnels[1].target, "127.0.0.1:" + std::to_string(plain.port()));
  EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer t");
}

TEST_F(HttpClient, NoProxyAndUnusableProxies) {
  HttpServer server;
  server.on("/", ScriptedResponse{.body = "direct"});
  kit::ConnectProxy proxy;
  env_.set("ALL_PROXY", proxy.url());
  env_.set("NO_PROXY", "localhost, 127.0.0.1");
  auto r = get(Client{}, server.url("/"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->body, "direct");
  EXPECT_TRUE(proxy.requests().empty());

  env_.unset("NO_PROXY");
  env_.set("ALL_PROXY", "socks5://127.0.0.1:1");
  auto socks = get(Client{}, server.url("/"));
  ASSERT_FALSE(socks.has_value());
  EXPECT_NE(socks.error().find("only http:// proxies"), std::string::npos) << socks.error();
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace qm::http
