#include "pricing/table.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/json_text.h"
#include "pricing/lookup.h"
#include "util.h"
#include "util_files.h"

namespace qm::embedded {
extern const std::string_view litellm_pricing;
}

namespace qm::pricing {

// Readable failures of EXPECT_EQ on prices.
void PrintTo(const ModelPrice& p, std::ostream* os) {
  auto above = [&](const char* name, const std::optional<double>& v) {
    if (v) *os << ", " << name << " above 200k " << *v;
  };
  *os << "{input " << p.input << ", output " << p.output << ", cc " << p.cache_creation << ", cr " << p.cache_read;
  above("input", p.input_above_200k);
  above("output", p.output_above_200k);
  above("cc", p.cache_creation_above_200k);
  above("cr", p.cache_read_above_200k);
  *os << ", fast " << p.fast_multiplier << ", explicit cr " << p.explicit_cache_read << "}";
}

namespace {

using kit::HttpServer;
using kit::ScriptedResponse;

const ModelPrice& at(const PricingTable& t, const std::string& key) {
  static const ModelPrice none{};
  auto it = t.prices.find(key);
  EXPECT_NE(it, t.prices.end()) << key;
  return it == t.prices.end() ? none : it->second;
}

void expect_prices(const ModelPrice& p, double input, double output, double cc, double cr, const std::string& what) {
  EXPECT_DOUBLE_EQ(p.input, input) << what;
  EXPECT_DOUBLE_EQ(p.output, output) << what;
  EXPECT_DOUBLE_EQ(p.cache_creation, cc) << what;
  EXPECT_DOUBLE_EQ(p.cache_read, cr) << what;
}

PricingTable offline_table(const std::map<std::string, ConfigPricingOverride>& overrides = {}) {
  return load_price_table(true, false, overrides);
}

TEST(PriceTable, OfflineHoldsCompiledInRowsUnderTheBuiltIns) {
  auto t = offline_table();
  EXPECT_FALSE(t.models_dev_download_allowed);
  EXPECT_TRUE(t.embedded_models_dev_allowed);

  // "claude-sonnet-4-5" is a row of the compiled-in LiteLLM table, "claude-sonnet-4" a built-in entry.
  for (const char* key : {"claude-sonnet-4-5", "claude-sonnet-4"}) {
    const auto& sonnet = at(t, key);
    expect_prices(sonnet, 3e-6, 1.5e-5, 3.75e-6, 3e-7, key);
    EXPECT_EQ(sonnet.input_above_200k, 6e-6) << key;
    EXPECT_EQ(sonnet.output_above_200k, 2.25e-5) << key;
    EXPECT_EQ(sonnet.cache_creation_above_200k, 7.5e-6) << key;
    EXPECT_EQ(sonnet.cache_read_above_200k, 6e-7) << key;
    EXPECT_TRUE(sonnet.explicit_cache_read) << key;
  }
  const auto& glm = at(t, "zai/glm-4.7");
  expect_prices(glm, 6e-7, 2.2e-6, 0, 1.1e-7, "zai/glm-4.7");
  EXPECT_FALSE(glm.input_above_200k.has_value());
  at(t, "us.anthropic.claude-sonnet-4-20250514-v1:0");

  // Built-in entries replace compiled-in rows of the same key.
  const auto& gpt5 = at(t, "gpt-5");
  expect_prices(gpt5, 1.25e-6, 1e-5, 1.25e-6, 1.25e-7, "gpt-5");  // the compact row has no cc (would be 1.5625e-6)
  for (const auto& [key, price] : built_in_entries(load_fast_multiplier_overrides()))
    EXPECT_EQ(at(t, key), price) << key;
}

struct BuiltInRow {
  const char* key;
  double input, output, cc, cr;
  double fast = 1.0;
  bool explicit_cache_read = true;
};

TEST(BuiltInEntries, EveryRowInOrder) {
  const std::vector<BuiltInRow> rows = {
      {"claude-opus-4-5", 5e-6, 2.5e-5, 6.25e-6, 5e-7},
      {"claude-opus-4-6", 5e-6, 2.5e-5, 6.25e-6, 5e-7, 6.0},
      {"claude-opus-4-7", 5e-6, 2.5e-5, 6.25e-6, 5e-7, 6.0},
      {"claude-opus-4-8", 5e-6, 2.5e-5, 6.25e-6, 5e-7, 2.0},
      {"claude-haiku-4-5", 1e-6, 5e-6, 1.25e-6, 1e-7},
      {"claude-opus-4", 1.5e-5, 7.5e-5, 1.875e-5, 1.5e-6},
      {"claude-sonnet-4-6", 3e-6, 1.5e-5, 3.75e-6, 3e-7},
      {"claude-sonnet-4", 3e-6, 1.5e-5, 3.75e-6, 3e-7},
      {"claude-3-5-haiku", 8e-7, 4e-6, 1e-6, 8e-8},
      {"claude-3-5-haiku-20241022", 8e-7, 4e-6, 1e-6, 8e-8},
      {"claude-3-opus", 1.5e-5, 7.5e-5, 1.875e-5, 1.5e-6},
      {"claude-3-sonnet", 3e-6, 1.5e-5, 3.75e-6, 3e-7},
      {"claude-3-haiku", 2.5e-7, 1.25e-6, 3e-7, 3e-8},
      {"gpt-5", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
      {"gpt-5.5", 5e-6, 3e-5, 5e-6, 5e-7, 2.5},
      {"grok-4.3", 1.25e-6, 2.5e-6, 1.25e-6, 1.25e-7, 1.0, false},
      {"moonshot/kimi-k2.5", 6e-7, 3e-6, 7.5e-7, 1e-7},
      {"moonshot/kimi-k2.6", 9.5e-7, 4e-6, 1.1875e-6, 1.6e-7},
      {"gpt-5.1", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
      {"gpt-5.1-codex", 1.25e-6, 1e-5, 1.25e-6, 1.25e-7},
      {"gpt-5.2-codex", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7},
      {"gpt-5.3-codex", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7, 2.0},
      {"gpt-5.2", 1.75e-6, 1.4e-5, 1.75e-6, 1.75e-7},
      {"gpt-5.4", 2.5e-6, 1.5e-5, 2.5e-6, 2.5e-7, 2.0},
      {"gpt-5.4-mini", 7.5e-7, 4.5e-6, 7.5e-7, 7.5e-8},
      {"gpt-5.4-nano", 2e-7, 1.25e-6, 2e-7, 2e-8},
      {"glm-4.5", 6e-7, 2.2e-6, 0, 1.1e-7},
      {"zai/glm-4.5", 6e-7, 2.2e-6, 0, 1.1e-7},
      {"zai/glm-4.5-x", 2.2e-6, 8.9e-6, 0, 4.5e-7},
      {"zai/glm-4.5-air", 2e-7, 1.1e-6, 0, 3e-8},
      {"zai/glm-4.5-airx", 1.1e-6, 4.5e-6, 0, 2.2e-7},
      {"zai/glm-4.5v", 6e-7, 1.8e-6, 0, 1.1e-7},
      {"zai/glm-4-32b-0414-128k", 1e-7, 1e-7, 0, 0},
      {"zai/glm-4.5-flash", 0, 0, 0, 0},
      {"glm-4.6", 6e-7, 2.2e-6, 0, 1.1e-7},
      {"glm-4.7", 6e-7, 2.2e-6, 0, 1.1e-7},
      {"glm-5", 1e-6, 3.2e-6, 0, 2e-7},
      {"glm-5-turbo", 1.2e-6, 4e-6, 0, 2.4e-7},
      {"glm-5.1", 1.4e-6, 4.4e-6, 0, 2.6e-7},
  };
  const auto entries = built_in_entries(load_fast_multiplier_overrides());
  ASSERT_EQ(entries.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    const auto& [key, price] = entries[i];
    ModelPrice expected;
    expected.input = row.input;
    expected.output = row.output;
    expected.cache_creation = row.cc;
    expected.cache_read = row.cr;
    expected.fast_multiplier = row.fast;
    expected.explicit_cache_read = row.explicit_cache_read;
    if (std::string_view(row.key) == "claude-sonnet-4") {
      expected.input_above_200k = 6e-6;
      expected.output_above_200k = 2.25e-5;
      expected.cache_creation_above_200k = 7.5e-6;
      expected.cache_read_above_200k = 6e-7;
    }
    EXPECT_EQ(key, row.key) << "row " << i;
    EXPECT_EQ(price, expected) << row.key;
  }
}

TEST(CompactTable, TellingRowsAsCompiledIn) {
  // The rows as written, before the built-in entries replace some of them.
  const std::vector<std::pair<std::string, const char*>> rows = {
      {"claude-opus-4-6", R"({"cc":6.25e-6,"cr":5e-7,"ctx":1000000,"fast":6.0,"i":5e-6,"o":2.5e-5})"},
      {"claude-sonnet-4-5",
       R"({"cc":3.75e-6,"cca":7.5e-6,"cr":3e-7,"cra":6e-7,"ctx":200000,"i":3e-6,"ia":6e-6,"o":1.5e-5,"oa":2.25e-5})"},
      {"gpt-5", R"({"cr":1.25e-7,"ctx":272000,"i":1.25e-6,"o":1e-5})"},
      {"zai/glm-4.7", R"({"cc":0,"cr":1.1e-7,"ctx":200000,"i":6e-7,"o":2.2e-6})"},
  };
  for (const auto& [key, row] : rows) {
    std::string pointer = "/" + key;  // a "/" in the name written "~1"
    for (auto at = pointer.find('/', 1); at != std::string::npos; at = pointer.find('/', at)) pointer.replace(at, 1, "~1");
    const std::string compiled_in = kit::json_at(embedded::litellm_pricing, pointer);
    ASSERT_NE(compiled_in, "<none>") << key;
    EXPECT_EQ(compiled_in, kit::json_at(row, "")) << key;
  }

  PricingTable t;
  parse_litellm_prices(t, embedded::litellm_pricing, load_fast_multiplier_overrides());
  const auto& opus = at(t, "claude-opus-4-6");
  expect_prices(opus, 5e-6, 2.5e-5, 6.25e-6, 5e-7, "claude-opus-4-6");
  EXPECT_EQ(opus.fast_multiplier, 6.0);
  EXPECT_TRUE(opus.explicit_cache_read);
  const auto& sonnet = at(t, "claude-sonnet-4-5");
  expect_prices(sonnet, 3e-6, 1.5e-5, 3.75e-6, 3e-7, "claude-sonnet-4-5");
  EXPECT_EQ(sonnet.input_above_200k, 6e-6);
  EXPECT_EQ(sonnet.output_above_200k, 2.25e-5);
  EXPECT_EQ(sonnet.cache_creation_above_200k, 7.5e-6);
  EXPECT_EQ(sonnet.cache_read_above_200k, 6e-7);
  const auto& gpt5 = at(t, "gpt-5");
  expect_prices(gpt5, 1.25e-6, 1e-5, 1.5625e-6, 1.25e-7, "gpt-5");  // cache creation derived: 1.25 x input
  EXPECT_EQ(gpt5.fast_multiplier, 1.0);
  EXPECT_FALSE(gpt5.input_above_200k.has_value());
  const auto& glm = at(t, "zai/glm-4.7");
  expect_prices(glm, 6e-7, 2.2e-6, 0, 1.1e-7, "zai/glm-4.7");
  EXPECT_TRUE(glm.explicit_cache_read);
  // Keys of every spelling the agents use, and of other modes than chat.
  for (const char* key : {"us.anthropic.claude-sonnet-4-20250514-v1:0", "azure/gpt-4o-mini-tts"})
    EXPECT_TRUE(t.prices.contains(key)) << key;
}

TEST(FastOverrides, CompiledInDocument) {
  auto o = load_fast_multiplier_overrides();
  EXPECT_EQ(o.exact, (std::map<std::string, double, std::less<>>{{"gpt-5.5", 2.5}, {"gpt-5.4", 2.0},
                                                                 {"gpt-5.3-codex", 2.0}}));
  EXPECT_EQ(o.normalized_prefix, (std::map<std::string, double, std::less<>>{
                                     {"claude-opus-4-6", 6.0}, {"claude-opus-4-7", 6.0}, {"claude-opus-4-8", 2.0}}));
}

TEST(ParseLiteLlm, RecordForms) {
  PricingTable t;
  const auto overrides = load_fast_multiplier_overrides();
  const std::size_t added = parse_litellm_prices(t, R"({
    "compact": {"i": 1e-6, "o": 2e-6},
    "claude-opus-4-7": {"i": 5e-6, "o": 2.5e-5, "fast": 3.0},
    "claude-opus-4-7-20260416": {"i": 5e-6, "o": 2.5e-5},
    "full": {"input_cost_per_token": 3e-6, "output_cost_per_token": 1.5e-5, "cache_read_input_token_cost": 3e-7,
             "cache_creation_input_token_cost_above_200k_tokens": 7.5e-6, "max_input_tokens": 200000,
             "provider_specific_entry": {"us": 1.1, "fast": 4.0}, "mode": "chat", "supports_vision": true},
    "integers": {"input_cost_per_token": 0, "output_cost_per_token": 1},
    "nulls": {"i": 1e-6, "o": 2e-6, "cr": null, "ctx": null},
    "array": [1e-6, 2e-6, 3e-6, null, 4e-6, null, null, null, 1000, 2.0],
    "array-entry": [1e-6, 2e-6, null, null, null, null, null, null, null, {"fast": 5.0}],
    "only-input": {"input_cost_per_token": 1e-6},
    "string-price": {"input_cost_per_token": "1e-6", "output_cost_per_token": 2e-6},
    "bool-price": {"i": true, "o": 2e-6},
    "float-context": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6, "max_input_tokens": 2000000.0},
    "negative-context": {"i": 1e-6, "o": 2e-6, "ctx": -1},
    "bad-entry": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6, "provider_specific_entry": 3},
    "long-array": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11],
    "text": "not a record",
    "template-row": {"input_cost_per_token": 0.0, "output_cost_per_token": 0.0, "max_input_tokens": "many"},
    "dup": {"i": 1e-6, "o": 1e-6},
    "dup": {"i": 9e-6, "o": 9e-6},
    "dup-bad": {"i": 1e-6, "o": 1e-6},
    "dup-bad": {"i": "x", "o": 1e-6},
    "dup-field": {"i": 1e-6, "o": 1e-6, "i": 2e-6},
    "wide-context": {"i": 1e-6, "o": 2e-6, "ctx": 18446744073709551616},
    "infinite-price": {"i": 1e400, "o": 2e-6}
  })", overrides);

  const auto& compact = at(t, "compact");
  expect_prices(compact, 1e-6, 2e-6, 1.25e-6, 1e-7, "compact");
  EXPECT_FALSE(compact.explicit_cache_read);
  EXPECT_EQ(compact.fast_multiplier, 1.0);
  EXPECT_EQ(at(t, "claude-opus-4-7").fast_multiplier, 3.0);  // the record's own wins over the overrides
  EXPECT_EQ(at(t, "claude-opus-4-7-20260416").fast_multiplier, 6.0);
  const auto& full = at(t, "full");
  expect_prices(full, 3e-6, 1.5e-5, 3.75e-6, 3e-7, "full");
  EXPECT_TRUE(full.explicit_cache_read);
  EXPECT_EQ(full.cache_creation_above_200k, 7.5e-6);
  EXPECT_FALSE(full.input_above_200k.has_value());
  EXPECT_EQ(full.fast_multiplier, 4.0);
  expect_prices(at(t, "integers"), 0, 1, 0, 0, "integers");
  EXPECT_FALSE(at(t, "nulls").explicit_cache_read);
  const auto& array = at(t, "array");
  expect_prices(array, 1e-6, 2e-6, 3e-6, 1e-7, "array");
  EXPECT_EQ(array.input_above_200k, 4e-6);
  EXPECT_EQ(array.fast_multiplier, 2.0);
  EXPECT_EQ(at(t, "array-entry").fast_multiplier, 5.0);
  // A later duplicate replaces the earlier record, and is then read (or skipped) alone.
  EXPECT_DOUBLE_EQ(at(t, "dup").input, 9e-6);
  EXPECT_DOUBLE_EQ(at(t, "dup-field").input, 2e-6);

  for (const char* skipped : {"only-input", "string-price", "bool-price", "float-context", "negative-context",
                              "bad-entry", "long-array", "text", "template-row", "dup-bad", "wide-context",
                              "infinite-price"})
    EXPECT_FALSE(t.prices.contains(skipped)) << skipped;
  EXPECT_EQ(added, 10u);
}

TEST(ParseLiteLlm, NotAnObjectAddsNothing) {
  const auto overrides = load_fast_multiplier_overrides();
  for (const char* text : {"", "[]", "[{\"i\":1,\"o\":1}]", "{\"a\":", "null", "42"}) {
    PricingTable t;
    EXPECT_EQ(parse_litellm_prices(t, text, overrides), 0u) << text;
    EXPECT_TRUE(t.prices.empty()) << text;
  }
}

TEST(ConfigOverrides, ScaleDerivedCachePricesOnly) {
  PricingTable t;
  parse_litellm_prices(t, R"({"derived": {"i": 1e-6, "o": 2e-6},
                               "explicit": {"i": 1e-6, "o": 2e-6, "cc": 1.25e-6, "cr": 1e-7},
                               "tiered": {"i": 1e-6, "o": 2e-6, "ia": 2e-6, "cca": 3e-6},
                               "fast": {"i": 1e-6, "o": 2e-6, "fast": 2.0}})",
                       load_fast_multiplier_overrides());
  std::map<std::string, ConfigPricingOverride> overrides;
  overrides["derived"].input_cost_per_token = 2e-6;
  overrides["explicit"].input_cost_per_token = 2e-6;
  overrides["tiered"].input_cost_per_token = 2e-6;
  overrides["fast"].output_cost_per_token = 5e-6;
  overrides["fast"].cache_read_input_token_cost = 0.0;
  overrides["unknown-model"].output_cost_per_token = 4e-6;
  overrides["unknown-model"].fast_multiplier = 3.0;
  apply_config_overrides(t, overrides);

  const auto& derived = at(t, "derived");
  expect_prices(derived, 2e-6, 2e-6, 2.5e-6, 2e-7, "derived");
  EXPECT_FALSE(derived.explicit_cache_read);
  expect_prices(at(t, "explicit"), 2e-6, 2e-6, 1.25e-6, 1e-7, "explicit");  // an explicit cache read stops scaling
  const auto& tiered = at(t, "tiered");
  EXPECT_EQ(tiered.input_above_200k, 2e-6);  // input and output above 200k are never scaled
  EXPECT_DOUBLE_EQ(tiered.cache_creation_above_200k.value_or(0), 6e-6);
  EXPECT_FALSE(tiered.cache_read_above_200k.has_value());
  const auto& fast = at(t, "fast");
  expect_prices(fast, 1e-6, 5e-6, 1.25e-6, 0.0, "fast");
  EXPECT_TRUE(fast.explicit_cache_read);
  EXPECT_EQ(fast.fast_multiplier, 2.0);
  const auto& unknown = at(t, "unknown-model");
  expect_prices(unknown, 0, 4e-6, 0, 0, "unknown-model");
  EXPECT_EQ(unknown.fast_multiplier, 3.0);
  EXPECT_FALSE(unknown.explicit_cache_read);
}

TEST(ConfigOverrides, AppliedByTheLoaderOverEverything) {
  ConfigPricingOverride o;
  o.input_cost_per_token = 1e-5;
  auto t = offline_table({{"claude-opus-4-6", o}});
  const auto& p = at(t, "claude-opus-4-6");
  // The built-in cache read is explicit, so the cache prices stay.
  expect_prices(p, 1e-5, 2.5e-5, 6.25e-6, 5e-7, "claude-opus-4-6");
  EXPECT_EQ(p.fast_multiplier, 6.0);
}

TEST(ModelsDev, ProviderCatalogueAndFlatTable) {
  PricingTable catalogue;
  ASSERT_TRUE(parse_models_dev(catalogue, R"({
    "first": {"id": "first", "models": {
      "m-basic": {"id": "m-basic", "cost": {"input": 3, "output": 15}, "limit": {"context": 200000, "output": 8192}},
      "key-name": {"id": "listed-id", "cost": {"input": 1, "output": 2, "cache_read": 0.1, "cache_write": 1.5}},
      "no-cost": {"id": "no-cost"},
      "half-cost": {"cost": {"input": 1}}
    }},
    "second": {"models": {"m-basic": {"cost": {"input": 300, "output": 1500}}, "extra": {"cost": {"input": 1, "output": 1, "tiers": []}}}}
  })"));
  const auto& basic = at(catalogue, "m-basic");
  expect_prices(basic, 3e-6, 1.5e-5, 3.75e-6, 3e-7, "m-basic");
  EXPECT_FALSE(basic.explicit_cache_read);
  EXPECT_EQ(basic.fast_multiplier, 1.0);
  const auto& listed = at(catalogue, "listed-id");
  expect_prices(listed, 1e-6, 2e-6, 1.5e-6, 1e-7, "listed-id");
  EXPECT_TRUE(listed.explicit_cache_read);
  EXPECT_FALSE(catalogue.prices.contains("key-name"));
  EXPECT_FALSE(catalogue.prices.contains("no-cost"));
  EXPECT_FALSE(catalogue.prices.contains("half-cost"));
  at(catalogue, "extra");

  PricingTable flat;
  ASSERT_TRUE(parse_models_dev(flat, R"({"flat-model": {"cost": {"input": 0.25, "output": 1.25, "cache_read": 0.03}},
                                          "other": {"cost": {"input": 0, "output": 0}, "limit": {"context": 1}}})"));
  expect_prices(at(flat, "flat-model"), 2.5e-7, 1.25e-6, 3.125e-7, 3e-8, "flat-model");
  at(flat, "other");
}

TEST(ModelsDev, ProvidersMergeInDocumentOrder) {
  // Neither sorted order nor hashing: the provider written first gives the price.
  for (const auto& [doc, expected] :
       std::vector<std::pair<std::string, double>>{
           {R"({"zeta": {"models": {"shared": {"cost": {"input": 1, "output": 1}}}},
                "alpha": {"models": {"shared": {"cost": {"input": 2, "output": 2}}}}})", 1e-6},
           {R"({"alpha": {"models": {"shared": {"cost": {"input": 2, "output": 2}}}},
                "zeta": {"models": {"shared": {"cost": {"input": 1, "output": 1}}}}})", 2e-6}}) {
    PricingTable t;
    ASSERT_TRUE(parse_models_dev(t, doc));
    EXPECT_DOUBLE_EQ(at(t, "shared").input, expected);
  }
}

TEST(ModelsDev, LaterDuplicatesReplaceEarlier) {
  PricingTable t;
  ASSERT_TRUE(parse_models_dev(t, R"({
    "p": {"models": {"a": {"cost": {"input": 1, "output": 1}}, "b": 7}},
    "q": {"models": {"m": {"cost": {"input": 1, "output": 1}}, "m": {"cost": {"input": 2, "output": 2, "input": 3}}}},
    "p": {"models": {"c": {"cost": {"input": 1, "output": 1}, "downloads": 18446744073709551616}}}
  })"));
  EXPECT_FALSE(t.prices.contains("a"));  // the first "p", malformed model and all, is gone
  at(t, "c");
  EXPECT_DOUBLE_EQ(at(t, "m").input, 3e-6);
}

TEST(ModelsDev, RejectedDocumentsAddNothing) {
  for (const char* doc : {
           "[]",
           "not json",
           R"({"p": {"models": {}}, "q": {"name": "no models"}})",                       // provider without models
           R"({"p": {"models": {"a": {"cost": {"input": 1, "output": 1}}, "b": 7}}})",    // a model that is no object
           R"({"p": {"models": {"a": {"cost": {"input": 1, "output": 1}}, "b": {"cost": {"input": "1"}}}}})",
           R"({"p": {"models": {"a": {"cost": {"input": 1, "output": 1}}, "b": {"id": 5}}}})",
           R"({"p": {"models": {"a": {"cost": {"input": 1, "output": 1}, "limit": {"context": 1.5}}}}})",
           R"({"a": {"cost": {"input": 1, "output": 1}}, "b": {"cost": {"input": 1}}})",  // flat, b lacks output
           R"({"a": {"cost": {"input": 1, "output": 1}}, "b": {"limit": {}}})",
       }) {
    PricingTable t;
    EXPECT_FALSE(parse_models_dev(t, doc)) << doc;
    EXPECT_TRUE(t.prices.empty()) << doc;
  }
  PricingTable empty;
  EXPECT_TRUE(parse_models_dev(empty, "{}"));
}

TEST(ModelsDev, CompiledInTable) {
  const auto& t = embedded_models_dev_table();
  EXPECT_FALSE(t.models_dev_download_allowed);
  EXPECT_FALSE(t.embedded_models_dev_allowed);
  const auto& opus = at(t, "claude-opus-4-6");
  expect_prices(opus, 5e-6, 2.5e-5, 6.25e-6, 5e-7, "claude-opus-4-6");
  EXPECT_TRUE(opus.explicit_cache_read);
  expect_prices(at(t, "anthropic--claude-3-haiku"), 2.5e-7, 1.25e-6, 3e-7, 3e-8, "anthropic--claude-3-haiku");
  EXPECT_EQ(&t, &embedded_models_dev_table());
}

// The public exports the compiled-in tables come from, when they lie beside the repository.
TEST(ReferenceData, FullExportsParse) {
  const std::filesystem::path data = std::filesystem::path(QM_SOURCE_DIR) / ".." / "shared" / "data";
  auto litellm = util::read_file(data / "litellm" / "model_prices_and_context_window.json");
  auto models_dev = util::read_file(data / "models-dev" / "api.json");
  if (!litellm || !models_dev) GTEST_SKIP() << "no reference data at " << data;
  PricingTable t;
  EXPECT_GT(parse_litellm_prices(t, *litellm, load_fast_multiplier_overrides()), 2000u);
  EXPECT_EQ(at(t, "claude-opus-4-6").fast_multiplier, 6.0);
  PricingTable dev;
  ASSERT_TRUE(parse_models_dev(dev, *models_dev));
  EXPECT_GT(dev.prices.size(), 1000u);
}

class OnlineLoad : public ::testing::Test {
 protected:
  OnlineLoad() {
    kit::unset_proxy_variables(env_);
    env_.set("QUILLIMARE_LITELLM_URL", server_.url("/litellm/prices.json"));
    env_.set("LOG_LEVEL", "4");
  }
  // Loads online, downloading afresh, and gives what reached standard error.
  std::string load(PricingTable& out, const std::map<std::string, ConfigPricingOverride>& overrides = {}) {
    LiteLlmDownload fresh;
    return load(out, fresh, overrides);
  }
  std::string load(PricingTable& out, LiteLlmDownload& download,
                   const std::map<std::string, ConfigPricingOverride>& overrides = {}) {
    ::testing::internal::CaptureStderr();
    out = load_price_table(false, true, overrides, download);
    return ::testing::internal::GetCapturedStderr();
  }
  kit::EnvGuard env_;
  HttpServer server_;
};

TEST_F(OnlineLoad, DownloadReplacesCompiledInEntries) {
  server_.on("/litellm/prices.json",
             ScriptedResponse{.body = R"({"claude-opus-4-6": {"input_cost_per_token": 1e-5, "output_cost_per_token": 3e-5},
                                          "brand-new-model": {"input_cost_per_token": 1e-6, "output_cost_per_token": 1e-6},
                                          "broken": {"input_cost_per_token": 1e-6}})"});
  ConfigPricingOverride o;
  o.output_cost_per_token = 9e-5;
  PricingTable t;
  EXPECT_EQ(load(t, {{"brand-new-model", o}}), "");
  EXPECT_TRUE(t.models_dev_download_allowed);
  EXPECT_TRUE(t.embedded_models_dev_allowed);
  const auto& opus = at(t, "claude-opus-4-6");
  expect_prices(opus, 1e-5, 3e-5, 1.25e-5, 1e-6, "claude-opus-4-6");
  EXPECT_EQ(opus.fast_multiplier, 6.0);  // from the overrides, the record has none
  EXPECT_DOUBLE_EQ(at(t, "brand-new-model").output, 9e-5);
  EXPECT_FALSE(t.prices.contains("broken"));
  at(t, "claude-sonnet-4-5");  // compiled-in rows the download lacks stay

  auto received = server_.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "GET");
  EXPECT_EQ(received[0].target, "/litellm/prices.json");
  EXPECT_EQ(received[0].headers.size(), 1u);  // Host only
}

TEST_F(OnlineLoad, FailuresWarnAboveLevelThreeAndKeepCompiledInData) {
  server_.on("/litellm/prices.json", ScriptedResponse{.status = 500, .body = "down"});
  PricingTable t;
  EXPECT_EQ(load(t), "WARN  Failed to fetch LiteLLM pricing (HTTP 500); using embedded pricing.\n");
  expect_prices(at(t, "claude-opus-4-6"), 5e-6, 2.5e-5, 6.25e-6, 5e-7, "claude-opus-4-6");
  EXPECT_TRUE(t.models_dev_download_allowed);

  for (const char* quiet : {"3", "0"}) {
    env_.set("LOG_LEVEL", quiet);
    EXPECT_EQ(load(t), "") << quiet;
  }
  env_.unset("LOG_LEVEL");
  EXPECT_EQ(load(t), "");
  EXPECT_EQ(server_.requests().size(), 4u);
}

TEST_F(OnlineLoad, UnusableDocumentWarnsOfParsing) {
  server_.on("/litellm/prices.json", std::vector<ScriptedResponse>{{.body = "<html>rate limited</html>"},
                                                                   {.body = R"({"only": {"i": "x"}})"}});
  PricingTable t;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(load(t), "WARN  Failed to parse LiteLLM pricing; using embedded pricing.\n");
  at(t, "gpt-5");
}

TEST_F(OnlineLoad, TransportErrorsAndRefusedUrlsFallBack) {
  server_.on("/litellm/prices.json", ScriptedResponse{.body = std::string(1000, ' ')});
  kit::RefusingPort closed;
  env_.set("QUILLIMARE_LITELLM_URL", closed.url("/x"));
  PricingTable t;
  auto refused = load(t);
  EXPECT_TRUE(refused.starts_with("WARN  Failed to fetch LiteLLM pricing (")) << refused;
  EXPECT_TRUE(refused.ends_with("); using embedded pricing.\n")) << refused;

  env_.set("QUILLIMARE_LITELLM_URL", "http://prices.example.com/x.json");
  auto insecure = load(t);
  EXPECT_NE(insecure.find("QUILLIMARE_LITELLM_URL"), std::string::npos) << insecure;
  at(t, "claude-opus-4-6");
}

// Tables built with one download share it: one request, one warning, the same prices.
TEST_F(OnlineLoad, OneDownloadForEveryTable) {
  server_.on("/litellm/prices.json",
             ScriptedResponse{.body = R"({"brand-new-model": {"input_cost_per_token": 1e-6, "output_cost_per_token": 1e-6}})"});
  LiteLlmDownload shared;
  ConfigPricingOverride o;
  o.output_cost_per_token = 9e-5;
  PricingTable first, second, third;
  EXPECT_EQ(load(first, shared), "");
  EXPECT_EQ(load(second, shared, {{"brand-new-model", o}}), "");
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(at(first, "brand-new-model").output, 1e-6);
  EXPECT_EQ(at(second, "brand-new-model").output, 9e-5);
  second.prices.erase("brand-new-model");
  first.prices.erase("brand-new-model");
  EXPECT_EQ(first.prices, second.prices);

  server_.on("/litellm/prices.json", ScriptedResponse{.status = 500});
  LiteLlmDownload failed;
  EXPECT_NE(load(third, failed), "");
  EXPECT_EQ(load(third, failed), "");  // the failure too is met once
  EXPECT_EQ(server_.requests().size(), 2u);
  EXPECT_FALSE(third.prices.contains("brand-new-model"));
}

TEST_F(OnlineLoad, OfflineNeverDownloads) {
  server_.on("/litellm/prices.json", ScriptedResponse{.status = 500});
  ::testing::internal::CaptureStderr();
  auto t = load_price_table(true, true, {});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_FALSE(t.models_dev_download_allowed);
}

}  // namespace
}  // namespace qm::pricing
