#include "http/hosts.h"

#include <gtest/gtest.h>

#include "http/url.h"
#include "kit/env.h"

namespace qm::http {
namespace {

TEST(CheckRequestUrl, HttpsEverywherePlainHttpOnlyOnLoopback) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"https://models.dev/api.json", true},
      {"http://127.0.0.1:8080/x", true},
      {"http://127.1.2.3/x", true},
      {"http://localhost:9/x", true},
      {"http://[::1]:9/x", true},
      {"HTTP://LOCALHOST:9/x", true},
      {"http://example.com/x", false},
      {"http://127.0.0.1.example.com/x", false},
      {"http://1270.0.0.1/x", false},
      {"ftp://127.0.0.1/x", false},
      {"not a url", false},
      {"", false},
  };
  for (const auto& [url, ok] : cases) EXPECT_EQ(check_request_url(url).has_value(), ok) << url;
}

TEST(Hosts, DefaultsAreHttps) {
  kit::EnvGuard env;
  for (const char* v : {"QUILLIMARE_LITELLM_URL", "QUILLIMARE_MODELS_DEV_URL", "QUILLIMARE_ANTHROPIC_API_URL",
                        "QUILLIMARE_CLAUDE_PLATFORM_URL", "QUILLIMARE_CHATGPT_URL", "QUILLIMARE_CURSOR_API_URL"})
    env.unset(v);
  for (auto url : {hosts::litellm_prices_url(), hosts::models_dev_url(), hosts::anthropic_api_base(),
                   hosts::claude_platform_base(), hosts::chatgpt_base(), hosts::cursor_api_base()}) {
    ASSERT_TRUE(url.has_value());
    EXPECT_TRUE(url->starts_with("https://")) << *url;
  }
  EXPECT_TRUE(hosts::litellm_prices_url()->ends_with("/BerriAI/litellm/main/model_prices_and_context_window.json"));
  EXPECT_TRUE(hosts::models_dev_url()->ends_with("/api.json"));
}

TEST(Hosts, OverridesReplaceDefaults) {
  kit::EnvGuard env;
  env.set("QUILLIMARE_LITELLM_URL", "http://127.0.0.1:4000/prices.json");
  env.set("QUILLIMARE_MODELS_DEV_URL", "https://mirror.corp/models/api.json");
  env.set("QUILLIMARE_CHATGPT_URL", "https://gateway.corp:8443/");
  env.set("QUILLIMARE_CURSOR_API_URL", "http://localhost:9000");
  EXPECT_EQ(hosts::litellm_prices_url().value(), "http://127.0.0.1:4000/prices.json");
  EXPECT_EQ(hosts::models_dev_url().value(), "https://mirror.corp/models/api.json");
  EXPECT_EQ(hosts::chatgpt_base().value(), "https://gateway.corp:8443");
  EXPECT_EQ(hosts::cursor_api_base().value(), "http://localhost:9000");
}

TEST(Hosts, UnusableOverridesAreErrorsNotTheDefault) {
  kit::EnvGuard env;
  env.set("QUILLIMARE_LITELLM_URL", "http://mirror.corp/prices.json");
  env.set("QUILLIMARE_ANTHROPIC_API_URL", "https://gateway.corp/api");
  env.set("QUILLIMARE_CLAUDE_PLATFORM_URL", "http://gateway.corp");
  auto litellm = hosts::litellm_prices_url();
  ASSERT_FALSE(litellm.has_value());
  EXPECT_NE(litellm.error().find("QUILLIMARE_LITELLM_URL"), std::string::npos);
  EXPECT_FALSE(hosts::anthropic_api_base().has_value());  // a path is not a base
  EXPECT_FALSE(hosts::claude_platform_base().has_value());
}

}  // namespace
}  // namespace qm::http
