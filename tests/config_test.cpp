#include "config.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "kit/env.h"

namespace qm::config {
namespace {

// A HOME and a working directory of our own, restored afterwards.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::create_directories(work());
    std::filesystem::current_path(work());
    env_.set("HOME", home().string()).unset("CLAUDE_CONFIG_DIR").unset("USERPROFILE");
  }
  void TearDown() override { std::filesystem::current_path(old_cwd_); }

  std::filesystem::path home() const { return dir_ / "home"; }
  std::filesystem::path work() const { return dir_ / "work"; }

  CommonOptions apply(const std::vector<std::string>& args, const std::string& key = "summary") {
    CommonOptions o;
    auto cfg = load_config(args);
    if (cfg) apply_config(*cfg, key, o);
    return o;
  }

  kit::TempDir dir_;
  kit::EnvGuard env_;
  std::filesystem::path old_cwd_;
};

TEST_F(ConfigTest, FirstUsableCandidateWins) {
  kit::write_file(work() / ".quillimare/quillimare.json", "[]");
  kit::write_file(home() / ".config/quillimare/quillimare.json", R"({"defaults":{"json":true}})");
  kit::write_file(home() / ".claude/quillimare.json", R"({"defaults":{"debug":true}})");
  auto o = apply({});
  EXPECT_TRUE(o.json);
  EXPECT_FALSE(o.debug);  // files of different candidates are never combined

  // Not UTF-8, bad JSON: passed over in silence.
  kit::write_file(home() / ".config/quillimare/quillimare.json", "{\"defaults\":{\"x\":\"\xff\"}}");
  EXPECT_TRUE(apply({}).debug);
  kit::write_file(home() / ".config/quillimare/quillimare.json", "{");
  EXPECT_TRUE(apply({}).debug);
}

TEST_F(ConfigTest, ExplicitPathIsTheOnlyCandidate) {
  kit::write_file(home() / ".claude/quillimare.json", R"({"defaults":{"debug":true}})");
  kit::write_file(work() / "a.json", R"({"defaults":{"compact":true}})");
  EXPECT_FALSE(apply({"--config", "missing.json"}).debug);
  auto o = apply({"--config", "a.json", "--config", "missing.json"});
  EXPECT_TRUE(o.compact);
  EXPECT_TRUE(apply({"--config=a.json"}).compact);
  EXPECT_TRUE(apply({"--config=", "--config", "a.json"}).compact);  // an empty value is passed over
  EXPECT_TRUE(apply({"--config"}).debug);                         // no value: no path, the candidates
}

TEST_F(ConfigTest, ClaudeConfigDirReplacesTheHomeCandidates) {
  kit::write_file(home() / ".claude/quillimare.json", R"({"defaults":{"debug":true}})");
  kit::write_file(dir_ / "c2/quillimare.json", R"({"defaults":{"noCost":true}})");
  env_.set("CLAUDE_CONFIG_DIR", "");
  EXPECT_FALSE(apply({}).debug);
  env_.set("CLAUDE_CONFIG_DIR", " , " + (dir_ / "c1").string() + " ," + (dir_ / "c2").string());
  auto o = apply({});
  EXPECT_TRUE(o.no_cost);
  EXPECT_FALSE(o.debug);
}

TEST_F(ConfigTest, LayersApplyKeyByKeyAndWrongTypesAreIgnored) {
  kit::write_file(work() / ".quillimare/quillimare.json", R"({
    "defaults": {"order": "desc", "since": "2024-01-05", "mode": "Display", "debugSamples": 7.0,
                 "json": "true", "timezone": "Europe/Paris", "all": true, "singleThread": true},
    "commands": {"summary": {"json": true, "mode": {"calculate": null}, "debugSamples": 9},
                 "harness": {"order": "asc", "noColor": true},
                 "today": {"compact": true}}
  })");
  auto s = apply({});
  EXPECT_EQ(s.order, SortOrder::Desc);
  EXPECT_TRUE(s.json);
  EXPECT_EQ(s.since, "20240105");
  EXPECT_EQ(s.mode, CostMode::Calculate);
  EXPECT_EQ(s.debug_samples, 9u);
  EXPECT_EQ(s.timezone, "Europe/Paris");
  EXPECT_TRUE(s.single_thread);
  auto h = apply({}, "harness");
  EXPECT_EQ(h.order, SortOrder::Asc);
  EXPECT_TRUE(h.no_color);
  EXPECT_FALSE(h.json);
  EXPECT_EQ(h.mode, CostMode::Auto);
  EXPECT_EQ(h.debug_samples, 5u);
  EXPECT_TRUE(apply({}, "today").compact);
}

TEST_F(ConfigTest, PricingOverridesMergeAcrossLayers) {
  kit::write_file(work() / ".quillimare/quillimare.json", R"({
    "defaults": {"pricingOverrides": {"m": {"inputCostPerToken": 1e-6, "outputCostPerToken": 2e-6, "extra": 1},
                                      "n": [1, 2, null, null, null, null, null, null, 200000, 6]}},
    "commands": {"summary": {"pricingOverrides": {"m": {"outputCostPerToken": 3e-6, "inputCostPerToken": null}}}}
  })");
  auto o = apply({});
  ASSERT_EQ(o.pricing_overrides.size(), 2u);
  const auto& m = o.pricing_overrides.at("m");
  EXPECT_EQ(m.input_cost_per_token, 1e-6);
  EXPECT_EQ(m.output_cost_per_token, 3e-6);
  const auto& n = o.pricing_overrides.at("n");
  EXPECT_EQ(n.input_cost_per_token, 1.0);
  EXPECT_EQ(n.output_cost_per_token, 2.0);
  EXPECT_FALSE(n.cache_read_input_token_cost);
  EXPECT_EQ(n.max_input_tokens, 200000u);
  EXPECT_EQ(n.fast_multiplier, 6.0);
}

TEST_F(ConfigTest, ABadOverrideDropsTheLayersOverridesOnly) {
  const char* bad[] = {
      R"({"m": {"maxInputTokens": -5}})",
      R"({"m": {"maxInputTokens": 1.5}})",
      R"({"m": {"inputCostPerToken": 1, "inputCostPerToken": 2}})",
      R"({"m": {"inputCostPerToken": "1"}})",
      R"({"m": {"inputCostPerToken": 1e400}})",
      R"({"m": [1, 2, 3]})",
      R"({"ok": {"inputCostPerToken": 1}, "m": true})",
      R"([])",
  };
  for (const char* overrides : bad) {
    kit::write_file(work() / ".quillimare/quillimare.json",
                    std::string(R"({"defaults": {"json": true, "pricingOverrides": )") + overrides + "}}");
    auto o = apply({});
    EXPECT_TRUE(o.json) << overrides;
    EXPECT_TRUE(o.pricing_overrides.empty()) << overrides;
  }
}

// Integers beyond 64 bits are valid JSON: read as floats, they are numbers but never counts.
TEST_F(ConfigTest, IntegersBeyond64BitsAreFloats) {
  kit::write_file(work() / ".quillimare/quillimare.json", R"({"note": 18446744073709551616, "defaults": {
    "json": true, "debugSamples": -9223372036854775809,
    "pricingOverrides": {"m": {"inputCostPerToken": 100000000000000000000000}}}})");
  auto o = apply({});
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.debug_samples, 5u);
  ASSERT_EQ(o.pricing_overrides.size(), 1u);
  EXPECT_EQ(o.pricing_overrides.at("m").input_cost_per_token, 1e23);

  // As a count it is of the wrong type: that layer's overrides go, its other keys stay.
  kit::write_file(work() / ".quillimare/quillimare.json", R"({"defaults": {"pricingOverrides": {"m": {"inputCostPerToken": 1}}},
    "commands": {"summary": {"compact": true, "pricingOverrides": {"n": {"maxInputTokens": 18446744073709551616}}}}})");
  o = apply({});
  EXPECT_TRUE(o.compact);
  ASSERT_EQ(o.pricing_overrides.size(), 1u);
  EXPECT_TRUE(o.pricing_overrides.contains("m"));
}

}  // namespace
}  // namespace qm::config
