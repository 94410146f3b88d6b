#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "kit/env.h"
#include "render.h"

namespace qm::output {
namespace {

TEST(Output, JsonNumbers) {
  EXPECT_EQ(json_number(3.0).dump(), "3");
  EXPECT_EQ(json_number(3.5).dump(), "3.5");
  EXPECT_EQ(json_number(-2.0).dump(), "-2");
  EXPECT_EQ(json_number(-0.0).dump(), "0");
  EXPECT_TRUE(json_number(1e20).is_number_float());
  EXPECT_EQ(json_number(9223372036854775808.0).dump(), "9223372036854775807");
  EXPECT_EQ(json_number(-9223372036854775808.0).dump(), "-9223372036854775808");
  EXPECT_TRUE(json_number(std::nan("")).is_null());
  EXPECT_TRUE(json_number(-INFINITY).is_null());
}

// Floats in the shortest form that reads back as the same value, laid out as the JSON
// library lays them out; in both forms and on standard output.
TEST(Output, ShortestFloats) {
  const std::pair<double, const char*> cases[] = {
      {0.1 + 0.2, "0.30000000000000004"},
      {240.92286, "240.92286"},
      {130.11386100000001, "130.113861"},
      {-240.92286, "-240.92286"},
      {1e21, "1e+21"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
      {1e15, "1e+15"},
      {123456789012345.0, "123456789012345.0"},
      {0.5, "0.5"},
      {1e-4, "0.0001"},
      {1.5e-5, "1.5e-05"},
      {2.5e-100, "2.5e-100"},
      {0.0, "0.0"},
  };
  for (const auto& [x, text] : cases) {
    const std::string t = text;
    nlohmann::json doc = {{"v", x}, {"n", {x, "0.30000000000000004", 17}}};
    EXPECT_EQ(compact(doc), R"({"n":[)" + t + R"(,"0.30000000000000004",17],"v":)" + t + "}");
    EXPECT_EQ(pretty(doc), "{\n  \"n\": [\n    " + t + ",\n    \"0.30000000000000004\",\n    17\n  ],\n  \"v\": " + t + "\n}");
    EXPECT_EQ(nlohmann::json::parse(t).get<double>(), x) << t;
  }
}

TEST(Output, DollarText) {
  EXPECT_EQ(render::format_usd(1234.5), "$1234.50");
  EXPECT_EQ(render::format_usd(0.5), "$0.50");
  EXPECT_EQ(render::format_usd(0.005), "$0.01");
  EXPECT_EQ(render::format_usd(0), "$0.00");
}

TEST(Output, StripCostsAtEveryDepth) {
  auto doc = nlohmann::json::parse(
      R"({"totalCost":1,"a":[{"cost":2,"costUSD":3,"cursorModelsCost":4,"b":{"apiEquivalentSpent":5,"cost":6}}]})");
  strip_costs(doc);
  EXPECT_EQ(doc, nlohmann::json::parse(R"({"a":[{"cursorModelsCost":4,"b":{"apiEquivalentSpent":5}}]})"));
}

// Runs emit_json with standard output sent to a file; returns (result, what was written).
std::pair<std::expected<void, std::string>, std::string> emit_captured(nlohmann::json doc,
                                                                       std::optional<std::string> filter, bool strip) {
  kit::TempDir dir;
  auto path = dir / "out";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int saved = ::dup(1);
  ::dup2(fd, 1);
  ::close(fd);
  auto r = emit_json(std::move(doc), filter, strip);
  ::dup2(saved, 1);
  ::close(saved);
  return {r, kit::read_file(path)};
}

TEST(Output, PrettyDocumentOnStandardOutput) {
  auto [r, out] = emit_captured(nlohmann::json::parse(R"({"b":1,"a":{"cost":2,"x":[]}})"), std::nullopt, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(out, "{\n  \"a\": {\n    \"x\": []\n  },\n  \"b\": 1\n}\n");
  nlohmann::json bad = {{"name", std::string("caf\xe9")}};
  auto [r2, out2] = emit_captured(bad, std::nullopt, false);
  ASSERT_TRUE(r2);
  EXPECT_EQ(out2, "{\n  \"name\": \"caf\xef\xbf\xbd\"\n}\n");
  auto [r3, out3] = emit_captured({{"cost", 240.92286}}, std::nullopt, false);
  ASSERT_TRUE(r3);
  EXPECT_EQ(out3, "{\n  \"cost\": 240.92286\n}\n");
}

TEST(Output, ThroughJq) {
  signal(SIGPIPE, SIG_IGN);  // as the program itself does
  auto doc = nlohmann::json::parse(R"({"totals":{"cost":1.5,"tokens":3},"z":"a/b"})");
  auto [r, out] = emit_captured(doc, ".totals", true);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(out, "{\n  \"tokens\": 3\n}\n");
  auto [raw, raw_out] = emit_captured(doc, "-c", false);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw_out, "{\"totals\":{\"cost\":1.5,\"tokens\":3},\"z\":\"a/b\"}\n");

  // A filter jq rejects: it may quit before reading the document (a broken pipe for us).
  nlohmann::json big = nlohmann::json::array();
  for (int i = 0; i < 20000; ++i) big.push_back(std::string(100, 'x'));
  kit::EnvGuard env;
  auto [bad, bad_out] = emit_captured(big, ".[", false);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "jq failed");

  // A jq that quits without reading and ends well has still not seen the document.
  kit::TempDir bin;
  kit::write_file(bin / "jq", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(bin / "jq", std::filesystem::perms::owner_all);
  env.set("PATH", bin.path().string());
  auto [cut, cut_out] = emit_captured(big, ".", false);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error(), "Broken pipe");

  kit::TempDir empty;
  env.set("PATH", empty.path().string());
  auto [missing, missing_out] = emit_captured(doc, ".", false);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "failed to run jq: No such file or directory");
}

}  // namespace
}  // namespace qm::output
