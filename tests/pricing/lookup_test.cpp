#include "pricing/lookup.h"

#include <gtest/gtest.h>

#include <thread>

#include "kit/env.h"
#include "kit/http_server.h"

namespace qm::pricing {
namespace {

using kit::HttpServer;
using kit::ScriptedResponse;

// A table whose keys are priced by their position, so that a lookup tells which key won.
PricingTable table_of(const std::vector<std::string>& keys) {
  PricingTable t;
  for (std::size_t i = 0; i < keys.size(); ++i) t.prices[keys[i]].input = static_cast<double>(i + 1);
  return t;
}

std::optional<std::string> winner(const PricingTable& t, std::string_view model) {
  auto p = lookup_price(t, model);
  if (!p) return std::nullopt;
  for (const auto& [key, price] : t.prices)
    if (price.input == p->input) return key;
  return std::nullopt;
}

TEST(ContainsAtBoundary, Rules) {
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"claude-sonnet-4-20250514", "claude-sonnet-4", true},        // an 8-digit date after "-"
      {"claude-sonnet-4-20250514-v1:0", "claude-sonnet-4", true},   // the date followed by a separator
      {"claude-sonnet-4-20250514v1", "claude-sonnet-4", false},     // ... or by a letter
      {"claude-sonnet-4-2025051", "claude-sonnet-4", false},        // seven digits continue the version
      {"claude-3-5-haiku", "claude-3", false},                      // "-5" continues the version
      {"gpt-5.1", "gpt-5", false},
      {"gpt-5-mini", "gpt-5", true},
      {"gpt-5", "gpt-5", true},
      {"gpt-50", "gpt-5", false},
      {"xgpt-5", "gpt-5", false},
      {"openai/gpt-5", "gpt-5", true},
      {"eu.anthropic.claude-opus-4-6-v1", "claude-opus-4-6", true},
      {"claude-opus-4-6.1", "claude-opus-4-6", false},
      {"claude-opus-4-60", "claude-opus-4-6", false},
      {"gpt-5.1 and gpt-5", "gpt-5", true},                         // a later occurrence passes
      {"Claude-Opus-4-6", "claude-opus-4-6", false},                // case-sensitive
      {"sonnet", "claude-sonnet-4", false},
      {"claude-sonnet-4", "sonnet", true},                          // "-4" follows a letter: no version rule
      {"claude-3-sonnet", "sonnet", true},
      {"grok-4-fast", "grok-4", true},
      {"", "gpt-5", false},
  };
  for (const auto& [text, part, expected] : cases)
    EXPECT_EQ(contains_at_boundary(text, part), expected) << "\"" << part << "\" in \"" << text << "\"";
}

TEST(PriceKeyMatches, DotsAndDashes) {
  EXPECT_TRUE(price_key_matches("claude-opus-4.6", "claude-opus-4-6", "claude-opus-4-6"));
  EXPECT_TRUE(price_key_matches("claude-opus-4-6", "claude-opus-4-6", "anthropic/claude-opus-4.6"));
  EXPECT_TRUE(price_key_matches("anthropic/claude-sonnet-4.5:thinking", "anthropic/claude-sonnet-4-5:thinking",
                                "claude-sonnet-4-5"));
  EXPECT_FALSE(price_key_matches("claude-opus-4.6", "claude-opus-4-6", "claude-opus-4-5"));
  EXPECT_EQ(dots_to_dashes("gpt-5.1.2"), "gpt-5-1-2");
  EXPECT_EQ(dots_to_dashes("plain"), "plain");
}

TEST(LookupPrice, ExactThenLongestThenBytewiseSmallest) {
  auto t = table_of({"claude-sonnet-4", "claude-3", "claude-3-5-haiku", "gpt-5", "gpt-5.1", "gpt-5.1-codex",
                     "claude-opus-4-6", "zz-ab", "zz-aa", "claude-3-sonnet", "claude-sonnet-4-5", "gpt-5.3-codex-spark"});
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"gpt-5", "gpt-5"},
      {"claude-sonnet-4-20250514", "claude-sonnet-4"},
      {"claude-3-5-haiku-20241022", "claude-3-5-haiku"},
      {"claude-3-5-haiku", "claude-3-5-haiku"},
      {"claude-3-opus", "claude-3"},  // "-opus" is no version number
      {"gpt-5.1-codex-max", "gpt-5.1-codex"},
      {"gpt-5-mini", "gpt-5"},
      {"gpt-5.2", std::nullopt},
      {"eu.anthropic.claude-opus-4-6-v1", "claude-opus-4-6"},
      {"claude-opus-4.6", "claude-opus-4-6"},
      {"sonnet", "claude-sonnet-4-5"},  // contained in several keys: the longest wins
      {"zz", "zz-aa"},                  // equal lengths: the bytewise smaller key
      {"CLAUDE-OPUS-4-6", std::nullopt},
  };
  for (const auto& [model, expected] : cases) {
    EXPECT_EQ(winner(t, model), expected) << model;
    EXPECT_EQ(winner(t, model), expected) << model << " (remembered)";
  }
  EXPECT_EQ(winner(t, "claude-3"), std::optional<std::string>("claude-3"));
}

TEST(LookupPrice, RememberedMissesFollowNewKeysAndCopies) {
  auto t = table_of({"alpha-1"});
  EXPECT_FALSE(lookup_price(t, "beta-2-preview").has_value());
  t.prices["beta-2"].input = 7;
  auto p = lookup_price(t, "beta-2-preview");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->input, 7);

  PricingTable copy = t;
  copy.prices.erase("beta-2");
  copy.prices["gamma"].input = 8;  // same key count: the copy must not inherit the memo
  EXPECT_FALSE(lookup_price(copy, "beta-2-preview").has_value());
  EXPECT_EQ(lookup_price(t, "beta-2-preview")->input, 7);
}

TEST(LookupPrice, ThreadsMissingTogetherAgree) {
  const auto t = load_price_table(true, false, {});
  const std::vector<std::string> names = {"claude-opus-4.6-thinking", "no-such-model", "gpt-5.1-codex-max-high"};
  std::vector<std::vector<std::optional<ModelPrice>>> seen(8);
  std::vector<std::thread> threads;
  for (auto& out : seen)
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round)
        for (const auto& n : names) out.push_back(lookup_price(t, n));
    });
  for (auto& th : threads) th.join();
  PricingTable fresh = t;  // a copy remembers nothing: the walk's own answer
  for (const auto& out : seen)
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], lookup_price(fresh, names[i % names.size()]));
  EXPECT_TRUE(seen[0][0].has_value());
  EXPECT_FALSE(seen[0][1].has_value());
}

TEST(FindPrice, SparkAlias) {
  auto t = table_of({"gpt-5.3-codex-spark"});
  EXPECT_TRUE(find_price(t, "gpt-5.3-spark").has_value());
  EXPECT_FALSE(lookup_price(t, "gpt-5.3-spark").has_value());
  EXPECT_FALSE(find_price(t, "gpt-5.3-spark-mini").has_value());
}

TEST(MatchesFastOverride, ExactAndSegmentPrefixes) {
  const auto o = load_fast_multiplier_overrides();
  const std::vector<std::pair<std::string, std::optional<double>>> cases = {
      {"anthropic/claude-opus-4.6", 6.0},
      {"anthropic/claude-opus-4.6:thinking", 6.0},
      {"claude-opus-4-6-20260205", 6.0},
      {"claude-opus-4-7", 6.0},
      {"us.anthropic.claude-opus-4-8-v1", 2.0},
      {"gpt-5.5", 2.5},
      {"gpt-5.4", 2.0},
      {"gpt-5.5-mini", std::nullopt},  // the exact map is not searched by prefix
      {"openai/gpt-5.5", std::nullopt},
      {"claude-opus-4-60", std::nullopt},
      {"claude-opus-4-6.1", 6.0},  // dots become dashes first, so ".1" reads as "-1"
      {"claude-opus-4-5", std::nullopt},
  };
  for (const auto& [model, expected] : cases) EXPECT_EQ(matches_fast_override(o, model), expected) << model;
}

class ModelsDevFallback : public ::testing::Test {
 protected:
  ModelsDevFallback() {
    kit::unset_proxy_variables(env_);
    env_.set("QUILLIMARE_MODELS_DEV_URL", server_.url("/api.json"));
    env_.set("LOG_LEVEL", "4");
    main_ = table_of({"known-model"});
    main_.models_dev_download_allowed = true;
    main_.embedded_models_dev_allowed = true;
  }
  std::optional<ModelPrice> price(std::string_view model, std::string* err = nullptr) {
    ::testing::internal::CaptureStderr();
    auto p = price_for_model(main_, model, cache_);
    std::string text = ::testing::internal::GetCapturedStderr();
    if (err) *err = text;
    return p;
  }
  kit::EnvGuard env_;
  HttpServer server_;
  PricingTable main_;
  ModelsDevCache cache_;
};

constexpr const char* kCatalogue = R"({
  "one": {"models": {"dev-only": {"id": "dev-only", "cost": {"input": 2, "output": 4}}}},
  "two": {"models": {"dev-only": {"cost": {"input": 9, "output": 9}}, "claude-opus-4-6": {"cost": {"input": 1, "output": 1}}}}
})";

TEST_F(ModelsDevFallback, DownloadsOnceAndSearchesItWithTheSameRules) {
  server_.on("/api.json", ScriptedResponse{.body = kCatalogue});
  std::string err;
  EXPECT_EQ(price("known-model", &err)->input, 1);
  EXPECT_TRUE(server_.requests().empty());  // a hit never downloads

  auto p = price("dev-only", &err);
  ASSERT_TRUE(p.has_value());
  EXPECT_DOUBLE_EQ(p->input, 2e-6);
  EXPECT_EQ(p->fast_multiplier, 1.0);
  EXPECT_FALSE(p->input_above_200k.has_value());
  EXPECT_EQ(err, "");
  EXPECT_DOUBLE_EQ(price("provider/dev-only-20250101")->input, 2e-6);  // containment in the catalogue too
  EXPECT_DOUBLE_EQ(price("claude-opus-4-6")->input, 1e-6);              // the download comes before the compiled-in copy
  EXPECT_FALSE(price("nothing-knows-this").has_value());
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(ModelsDevFallback, ThreadsMissingTogetherShareOneCatalogue) {
  server_.on("/api.json", ScriptedResponse{.body = kCatalogue});
  std::vector<std::optional<ModelPrice>> seen(8);
  std::vector<std::thread> threads;
  for (auto& out : seen) threads.emplace_back([&] { out = price_for_model(main_, "dev-only", cache_); });
  for (auto& th : threads) th.join();
  for (const auto& p : seen) EXPECT_DOUBLE_EQ(p.value_or(ModelPrice{}).input, 2e-6);
  const auto downloads = server_.requests().size();
  EXPECT_GE(downloads, 1u);
  EXPECT_LE(downloads, seen.size());
  EXPECT_TRUE(price("provider/dev-only").has_value());
  EXPECT_EQ(server_.requests().size(), downloads);
}

TEST_F(ModelsDevFallback, FailedDownloadWaitsBeforeRetrying) {
  server_.on("/api.json", std::vector<ScriptedResponse>{{.status = 503}, {.body = "[1]"}, {.body = kCatalogue}});
  std::string err;
  // The compiled-in models.dev copy answers meanwhile.
  auto p = price("anthropic--claude-3-haiku", &err);
  ASSERT_TRUE(p.has_value());
  EXPECT_DOUBLE_EQ(p->input, 2.5e-7);
  EXPECT_EQ(err, "WARN  Failed to fetch models.dev pricing (HTTP 503); using LiteLLM pricing.\n");
  EXPECT_FALSE(price("dev-only", &err).has_value());
  EXPECT_EQ(err, "");
  EXPECT_EQ(server_.requests().size(), 1u);

  {
    std::lock_guard lock(cache_.mutex);
    *cache_.last_failure -= kModelsDevRetryGap;
  }
  EXPECT_FALSE(price("dev-only", &err).has_value());
  EXPECT_EQ(err, "WARN  Failed to parse models.dev pricing; using LiteLLM pricing.\n");
  EXPECT_EQ(server_.requests().size(), 2u);

  {
    std::lock_guard lock(cache_.mutex);
    *cache_.last_failure -= kModelsDevRetryGap;
  }
  EXPECT_DOUBLE_EQ(price("dev-only", &err)->input, 2e-6);
  EXPECT_FALSE(cache_.last_failure.has_value());
  EXPECT_EQ(server_.requests().size(), 3u);
}

TEST_F(ModelsDevFallback, WarningsOnlyAboveLevelThree) {
  server_.on("/api.json", ScriptedResponse{.status = 500});
  env_.set("LOG_LEVEL", "3");
  std::string err;
  EXPECT_FALSE(price("dev-only", &err).has_value());
  EXPECT_EQ(err, "");
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(ModelsDevFallback, FlagsDecideWhichCataloguesAreAsked) {
  server_.on("/api.json", ScriptedResponse{.body = kCatalogue});
  main_.models_dev_download_allowed = false;  // offline
  EXPECT_DOUBLE_EQ(price("anthropic--claude-3-haiku")->input, 2.5e-7);
  EXPECT_FALSE(price("dev-only").has_value());
  main_.embedded_models_dev_allowed = false;
  EXPECT_FALSE(price("anthropic--claude-3-haiku").has_value());
  EXPECT_TRUE(server_.requests().empty());
}

}  // namespace
}  // namespace qm::pricing
