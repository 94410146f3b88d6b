#include "http/proxy.h"

#include <gtest/gtest.h>

#include <map>

namespace qm::http {
namespace {

struct ProxyCase {
  std::map<std::string, std::string> env;
  std::string scheme;
  std::string host;
  std::optional<std::string> proxy;  // expected; "error" for a refusal
};

TEST(ProxyFor, ChoosesByScheme) {
  const std::vector<ProxyCase> cases = {
      {{}, "https", "api.example.com", std::nullopt},
      {{{"HTTPS_PROXY", "http://p:8080"}}, "https", "h", "http://p:8080"},
      {{{"https_proxy", "http://lower:1"}, {"HTTPS_PROXY", "http://upper:2"}}, "https", "h", "http://lower:1"},
      {{{"HTTP_PROXY", "http://p:3128"}}, "https", "h", std::nullopt},  // HTTP_PROXY is for http only
      {{{"HTTP_PROXY", "http://p:3128"}}, "http", "h", "http://p:3128"},
      {{{"ALL_PROXY", "http://all:1"}}, "https", "h", "http://all:1"},
      {{{"all_proxy", "http://all:1"}, {"HTTPS_PROXY", "http://s:2"}}, "https", "h", "http://s:2"},
      {{{"HTTPS_PROXY", ""}, {"ALL_PROXY", "http://all:1"}}, "https", "h", "http://all:1"},  // empty = unset
      {{{"HTTPS_PROXY", "proxy.corp:8080"}}, "https", "h", "http://proxy.corp:8080"},
      {{{"HTTPS_PROXY", "http://user:pw@p:8080"}}, "https", "h", "http://user:pw@p:8080"},
      {{{"HTTPS_PROXY", "HTTP://p:8080"}}, "https", "h", "http://p:8080"},
      {{{"ALL_PROXY", "socks5://p:1080"}}, "https", "h", "error"},
      {{{"HTTPS_PROXY", "https://p:443"}}, "https", "h", "error"},
      {{{"HTTPS_PROXY", "http://p:1"}, {"NO_PROXY", "*"}}, "https", "h", std::nullopt},
      {{{"HTTPS_PROXY", "http://p:1"}, {"no_proxy", "example.com"}}, "https", "api.example.com", std::nullopt},
      {{{"HTTPS_PROXY", "http://p:1"}, {"NO_PROXY", "example.com"}}, "https", "badexample.com", "http://p:1"},
      // With a matching NO_PROXY an unusable proxy does not matter.
      {{{"ALL_PROXY", "socks5://p:1080"}, {"NO_PROXY", "h"}}, "https", "h", std::nullopt},
  };
  for (const auto& c : cases) {
    EnvLookup env = [&](const char* name) -> std::optional<std::string> {
      auto it = c.env.find(name);
      if (it == c.env.end()) return std::nullopt;
      return it->second;
    };
    auto got = proxy_for(c.scheme, c.host, env);
    std::string where = c.scheme + "://" + c.host + " with " + std::to_string(c.env.size()) + " variables";
    if (c.proxy == "error") {
      EXPECT_FALSE(got.has_value()) << where;
    } else {
      ASSERT_TRUE(got.has_value()) << where << ": " << got.error();
      EXPECT_EQ(*got, c.proxy) << where;
    }
  }
}

TEST(ProxyFor, RefusalNamesTheProxyWithoutItsCredentials) {
  for (const char* proxy : {"socks5://user:s3cret@p:1080", "socks5://user:s3cret@p:1080/", "https://user:s3cret@p:1080"}) {
    EnvLookup env = [&](const char* name) -> std::optional<std::string> {
      if (std::string_view(name) == "ALL_PROXY") return proxy;
      return std::nullopt;
    };
    auto got = proxy_for("https", "h", env);
    ASSERT_FALSE(got.has_value()) << proxy;
    EXPECT_EQ(got.error().find("s3cret"), std::string::npos) << got.error();
    EXPECT_EQ(got.error().find("user"), std::string::npos) << got.error();
    EXPECT_NE(got.error().find("://p:1080"), std::string::npos) << got.error();
  }
}

TEST(NoProxy, MatchesHostsAndDomainSuffixes) {
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"example.com", "example.com", true},
      {"example.com", "a.b.example.com", true},
      {".example.com", "a.example.com", true},
      {"*.example.com", "a.example.com", true},
      {"example.com", "notexample.com", false},
      {"EXAMPLE.com", "api.Example.COM", true},
      {" other.org , example.com ", "example.com", true},
      {"example.com:443", "example.com", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"::1", "[::1]", true},
      {"[::1]", "[::1]", true},
      {"", "example.com", false},
      {"localhost", "localhost.", true},
  };
  for (const auto& [list, host, expected] : cases)
    EXPECT_EQ(no_proxy_matches(list, host), expected) << "NO_PROXY=" << list << " host " << host;
}

}  // namespace
}  // namespace qm::http
