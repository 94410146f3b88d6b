// The HTTP library is opened when the first request is made: a run that cannot load it goes on
// as if the network were down.
#include <gtest/gtest.h>


#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/http_server.h"
#include "kit/run.h"

namespace qm {
namespace {

TEST(CurlLibrary, AnUnloadableLibraryIsAFailedRequest) {
  kit::TempDir home, libs;
  kit::write_file(home / ".claude/projects/-work/s1.jsonl",
                  R"({"type":"assistant","sessionId":"c1","requestId":"r1","timestamp":"2025-06-01T08:00:00Z",)"
                  R"("message":{"id":"msg_1","model":"qm-alpha",)"
                  R"("usage":{"input_tokens":1000000,"output_tokens":0}}})"
                  "\n");
  kit::write_file(libs / "libcurl.so.4", "not a library");  // found first through LD_LIBRARY_PATH
  kit::HttpServer prices;
  prices.on("/prices.json", kit::ScriptedResponse{
                                200, {}, R"({"qm-alpha": {"input_cost_per_token": 1e-6, "output_cost_per_token": 4e-6}})"});

  kit::RunOptions o;
  o.env = kit::base_env(home.path().string());
  o.env["QUILLIMARE_LITELLM_URL"] = prices.url("/prices.json");
  o.env["LOG_LEVEL"] = "4";
  auto online = kit::run({QM_BINARY, "summary", "--json"}, o);
  ASSERT_EQ(online.status, 0) << online.err;
  EXPECT_EQ(kit::json_number(online.out, "/totals/totalCost"), 1.0);  // the served price

  o.env["LD_LIBRARY_PATH"] = libs.path().string();
  auto without = kit::run({QM_BINARY, "summary", "--json"}, o);
  ASSERT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(kit::json_number(without.out, "/totals/totalCost"), 0.0);  // no compiled-in price for it
  EXPECT_NE(without.err.find("WARN  Failed to fetch LiteLLM pricing ("), std::string::npos) << without.err;
  EXPECT_NE(without.err.find("cannot load libcurl.so.4"), std::string::npos) << without.err;
  EXPECT_EQ(prices.requests().size(), 1u);
}

}  // namespace
}  // namespace qm
