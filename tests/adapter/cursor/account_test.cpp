// Cursor's sign-in from a real state database, one dashboard call against a loopback server,
// and the account figures.
#include "adapter/cursor/account.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "adapter/cursor/dashboard.h"
#include "json/strict.h"
#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"

namespace qm::cursor::account {
namespace {

namespace fs = std::filesystem;
using kit::HttpServer;
using kit::ScriptedResponse;

using namespace cursor::test;

TEST(CursorStateDatabase, TheVariableElseTheConfigurationDirectory) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("HOME", (t / "home").string()).unset("XDG_CONFIG_HOME").unset("CURSOR_DATA_DIR");
  const fs::path below_config = "Cursor/User/globalStorage/state.vscdb";
  EXPECT_EQ(state_database(), std::nullopt);
  kit::write_file(t / "home/.config" / below_config, "");
  EXPECT_EQ(state_database(), t / "home/.config" / below_config);
  env.set("XDG_CONFIG_HOME", "relative/config");  // only an absolute path counts
  EXPECT_EQ(state_database(), t / "home/.config" / below_config);
  env.set("XDG_CONFIG_HOME", (t / "xdg").string());
  EXPECT_EQ(state_database(), std::nullopt);
  kit::write_file(t / "xdg" / below_config, "");
  EXPECT_EQ(state_database(), t / "xdg" / below_config);
  env.unset("XDG_CONFIG_HOME");

  // CURSOR_DATA_DIR, trimmed: the file it names, or the first of three places below it.
  const fs::path data = t / "data";
  env.set("CURSOR_DATA_DIR", "  " + data.string() + " ");
  EXPECT_EQ(state_database(), std::nullopt);  // names nothing usable: the default is not tried
  kit::write_file(data / "state.vscdb", "");
  EXPECT_EQ(state_database(), data / "state.vscdb");
  kit::write_file(data / "globalStorage/state.vscdb", "");
  EXPECT_EQ(state_database(), data / "globalStorage/state.vscdb");
  kit::write_file(data / "User/globalStorage/state.vscdb", "");
  EXPECT_EQ(state_database(), data / "User/globalStorage/state.vscdb");
  fs::create_symlink(data / "state.vscdb", t / "link.vscdb");
  env.set("CURSOR_DATA_DIR", (t / "link.vscdb").string());
  EXPECT_EQ(state_database(), t / "link.vscdb");
  env.set("CURSOR_DATA_DIR", "   ");  // blank: as if unset
  EXPECT_EQ(state_database(), t / "home/.config" / below_config);
  env.unset("CURSOR_DATA_DIR").unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH");
  EXPECT_EQ(state_database(), std::nullopt);
}

TEST(CursorStateDatabase, StoredValuesAreReadAndTheFileIsLeftAlone) {
  kit::TempDir t;
  const fs::path db = t / "state.vscdb";
  const std::nullptr_t null = nullptr;
  state_db(db, {
                   {"plain", "  tok-1 \n"},
                   {"quoted", "\" pro \""},
                   {"escaped", "\"a\\u0041\\n\""},
                   {"unterminated", "\"abc"},
                   {"trailing", "\"abc\" x"},
                   {"quoted-blank", "\"  \""},
                   {"blank", " \t "},
                   {"null", null},
                   {"blob", kit::SqlBlob{"free"}},
                   {"lossy", std::string("a\xff")},
                   {"number", std::int64_t{7}},
               });
  const struct {
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"plain", "tok-1"},      {"quoted", "pro"},     {"escaped", "aA"},       {"unterminated", std::nullopt},
      {"trailing", std::nullopt}, {"quoted-blank", std::nullopt}, {"blank", std::nullopt}, {"null", std::nullopt},
      {"blob", "free"},        {"lossy", "a\xEF\xBF\xBD"}, {"number", "7"},   {"missing", std::nullopt},
  };
  kit::Snapshot dir(t.path());
  for (const auto& c : cases) EXPECT_EQ(read_state_value(db, c.key), c.value) << c.key;
  EXPECT_TRUE(dir.unchanged());

  // Cursor writing at the same moment: its last commit is read.
  {
    kit::SqliteFile cursor(db);
    cursor.exec("BEGIN IMMEDIATE; UPDATE ItemTable SET value = 'tok-2' WHERE key = 'plain'");
    EXPECT_EQ(read_state_value(db, "plain"), "tok-1");
  }
  kit::SqliteFile(t / "other.vscdb").exec("CREATE TABLE Other (key, value)");
  kit::write_file(t / "junk.vscdb", std::string(4096, 'j'));
  for (const char* file : {"other.vscdb", "junk.vscdb", "missing.vscdb"})
    EXPECT_EQ(read_state_value(t / file, "plain"), std::nullopt) << file;
  EXPECT_FALSE(fs::exists(t / "missing.vscdb"));
  kit::Snapshot after(t.path());
  EXPECT_EQ(read_state_value(db, "plain"), "tok-1");
  EXPECT_TRUE(after.unchanged());
}

TEST(CursorAuth, TokenFromTheEnvironmentElseTheDatabaseAndTheMembershipFromTheDatabase) {
  kit::TempDir t;
  kit::EnvGuard env;
  state_db(t / "state.vscdb", {{"cursorAuth/accessToken", "db-token"}, {"cursorAuth/stripeMembershipType", "\"pro\""}});
  env.set("CURSOR_DATA_DIR", t.path().string()).unset("CURSOR_ACCESS_TOKEN");
  const struct {
    std::optional<std::string> variable;
    bool database;
    std::optional<std::string> token, membership;
  } cases[] = {
      {std::nullopt, true, "db-token", "pro"},
      {"   ", true, "db-token", "pro"},
      {" env-token ", true, "env-token", "pro"},
      {" env-token ", false, "env-token", std::nullopt},
      {std::nullopt, false, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.variable) env.set("CURSOR_ACCESS_TOKEN", *c.variable);
    else env.unset("CURSOR_ACCESS_TOKEN");
    env.set("CURSOR_DATA_DIR", (c.database ? t.path() : t / "nothing").string());
    auto auth = read_cursor_auth();
    EXPECT_EQ(auth.access_token, c.token) << c.variable.value_or("(unset)") << c.database;
    EXPECT_EQ(auth.membership_type, c.membership) << c.variable.value_or("(unset)") << c.database;
  }
}

class CursorDashboard : public ::testing::Test {
 protected:
  CursorDashboard() {
    kit::unset_proxy_variables(env_);
    env_.set("QUILLIMARE_CURSOR_API_URL", server_.url()).set("CURSOR_DATA_DIR", "/nonexistent");
  }
  kit::EnvGuard env_;
  HttpServer server_;
};

TEST_F(CursorDashboard, OneCallIsAConnectPostAndOnlyA200WithJsonAnswers) {
  const struct {
    ScriptedResponse response;
    bool answers;
  } cases[] = {
      {{.status = 200, .body = R"({"ok": [1, 2]})"}, true},
      {{.status = 201, .body = "{}"}, false},
      {{.status = 204}, false},
      {{.status = 500, .body = "{}"}, false},
      {{.status = 200, .body = "not json"}, false},
      {{.status = 200, .body = "{\"a\":\"" + std::string(4'000'000, 'x') + "\"}"}, false},  // over the cap
  };
  json::StrictParser parser;
  const auto client = new_dashboard_agent();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string path = "/aiserver.v1.DashboardService/M" + std::to_string(i);
    server_.on(path, cases[i].response);
    auto reply = post_dashboard_json(client, server_.url(path), "tok", {{"teamId", -1}, {"startDate", 5}}, parser);
    EXPECT_EQ(reply.has_value(), cases[i].answers) << i;
  }
  ASSERT_EQ(server_.requests().size(), std::size(cases));
  const auto first = server_.requests()[0];
  EXPECT_EQ(first.method, "POST");
  EXPECT_EQ(first.target, "/aiserver.v1.DashboardService/M0");
  const std::string body = R"({"startDate":5,"teamId":-1})";
  EXPECT_EQ(first.headers, (kit::HeaderList{{"Host", "127.0.0.1:" + std::to_string(server_.port())},
                                            {"Authorization", "Bearer tok"},
                                            {"Content-Type", "application/json"},
                                            {"Accept", "application/json"},
                                            {"Connect-Protocol-Version", "1"},
                                            {"User-Agent", "quillimare/20.0.21"},
                                            {"Content-Length", std::to_string(body.size())}}));
  EXPECT_EQ(first.body, body);

  kit::RefusingPort refusing;
  EXPECT_FALSE(post_dashboard_json(client, refusing.url("/x"), "tok", {}, parser));
  env_.set("QUILLIMARE_CURSOR_API_URL", "ftp://127.0.0.1");  // an unusable host setting asks nobody
  EXPECT_EQ(dashboard_url("GetCurrentPeriodUsage"), std::nullopt);
  EXPECT_FALSE(call_dashboard(client, "GetCurrentPeriodUsage", "tok", {}, parser));
}

CursorAccount from_texts(std::optional<std::string> period, std::optional<std::string> limits) {
  json::StrictParser p1, p2;
  auto a = period ? p1.parse_copy(*period) : std::nullopt;
  auto b = limits ? p2.parse_copy(*limits) : std::nullopt;
  EXPECT_EQ(a.has_value(), period.has_value()) << period.value_or("");
  EXPECT_EQ(b.has_value(), limits.has_value()) << limits.value_or("");
  return account_from_replies(a, b);
}

TEST(CursorAccountFigures, EveryKeyFromTheTwoReplies) {
  auto account = from_texts(
      R"({"billingCycleStart":"1748736000000","billingCycleEnd":1751328000000,
          "planUsage":{"limit":2000,"remaining":"500","includedSpend":1500,"bonusSpend":"250","totalSpend":1750.5},
          "spendLimitUsage":{"totalSpend":42}})",
      R"({"usageLimitPolicyStatus":{"currentOnDemandLimitCents":10000},
          "activeGrants":[{"grantType":"promo","totalCents":"4000","remainingCents":1000,"expiresAtMs":"1751328000000"},
                          {"grantType":7,"totalCents":-5,"expiresAtMs":1.7e12},
                          "not an object"]})");
  EXPECT_EQ(account, nlohmann::json::parse(R"({
    "activeLimitUSD": 40, "activePercentUsed": 75, "activeRemainingUSD": 10,
    "billingCycleEndMs": 1751328000000, "billingCycleStartMs": 1748736000000,
    "bonusSpendUSD": 2.5,
    "grants": [
      {"kind": "promo", "totalUSD": 40, "remainingUSD": 10, "expiresAtMs": 1751328000000},
      {"kind": null, "totalUSD": null, "remainingUSD": null, "expiresAtMs": null},
      {"kind": null, "totalUSD": null, "remainingUSD": null, "expiresAtMs": null}],
    "includedLimitUSD": 20, "includedPercentUsed": null, "includedRemainingUSD": 5, "includedSpendUSD": 15,
    "onDemandLimitUSD": 100, "onDemandSpentUSD": 0.42, "planSpendUSD": 17.505})"));

  // Neither reply carries anything: every key null, no grants.
  auto empty = from_texts("[]", std::nullopt);
  ASSERT_EQ(empty.size(), 14u);
  for (const auto& [key, value] : empty.items()) EXPECT_EQ(value, key == "grants" ? nlohmann::json::array() : nullptr) << key;
}

TEST(CursorAccountFigures, TheActiveAllowanceAndTheIncludedPercent) {
  using nlohmann::json;
  const struct {
    const char* plan;
    const char* grants;
    json included_percent, active_remaining, active_limit, active_percent;
  } cases[] = {
      // The plan's figures: remaining 5 of 20 dollars is 75 percent used.
      {R"({"limit":2000,"remaining":500})", "[]", nullptr, 5, 20, 75},
      {R"({"limit":2000,"remaining":500,"totalPercentUsed":100})", "[]", 100, 5, 20, 100},
      {R"({"limit":2000,"remaining":500,"totalPercentUsed":"12.5"})", "[]", 12.5, 5, 20, 12.5},
      {R"({"limit":2000,"remaining":500,"totalPercentUsed":100.5})", "[]", nullptr, 5, 20, 75},
      {R"({"limit":2000,"remaining":500,"totalPercentUsed":-1})", "[]", nullptr, 5, 20, 75},
      {R"({"limit":2000,"remaining":3000})", "[]", nullptr, 30, 20, 0},  // raised to 0
      {R"({"limit":0,"remaining":0})", "[]", nullptr, 0, 0, nullptr},
      {R"({"limit":2000})", "[]", nullptr, nullptr, 20, nullptr},
      // Grants with nothing left leave the plan's figures in place.
      {R"({"limit":2000,"remaining":500})", R"([{"remainingCents":0,"totalCents":100},{"remainingCents":"0"}])",
       nullptr, 5, 20, 75},
      // Grants with money left: their sums, over the grants that know each figure.
      {R"({"limit":2000,"remaining":500})", R"([{"remainingCents":1000},{"remainingCents":500,"totalCents":3000}])",
       nullptr, 15, 30, 50},
      {R"({"limit":2000,"remaining":500})", R"([{"remainingCents":1000}])", nullptr, 10, nullptr, nullptr},
      {R"({"limit":2000,"remaining":500})", R"([{"remainingCents":5000,"totalCents":4000}])", nullptr, 50, 40, 0},
  };
  for (const auto& c : cases) {
    auto a = from_texts(std::string(R"({"planUsage":)") + c.plan + "}", std::string(R"({"activeGrants":)") + c.grants + "}");
    const std::string where = std::string(c.plan) + " " + c.grants;
    EXPECT_EQ(a["includedPercentUsed"], c.included_percent) << where;
    EXPECT_EQ(a["activeRemainingUSD"], c.active_remaining) << where;
    EXPECT_EQ(a["activeLimitUSD"], c.active_limit) << where;
    EXPECT_EQ(a["activePercentUsed"], c.active_percent) << where;
  }
}

TEST(CursorAccountFigures, GrantReadersForTheLiveQuota) {
  auto grants = from_texts(std::nullopt, R"({"activeGrants":[
      {"grantType":"promo","remainingCents":1,"expiresAtMs":"1751328000000"},
      {"grantType":"promo","remainingCents":0,"expiresAtMs":" 1751328000000"},
      {"grantType":"Promo","remainingCents":100,"expiresAtMs":0},
      {"grantType":" promo","remainingCents":100,"expiresAtMs":-5}]})")["grants"];
  ASSERT_EQ(grants.size(), 4u);
  EXPECT_TRUE(is_active_promo_grant(grants[0]));
  EXPECT_EQ(grant_expires_at_ms(grants[0]), 1'751'328'000'000);
  for (int i : {1, 2, 3}) {
    EXPECT_FALSE(is_active_promo_grant(grants[i])) << i;
    EXPECT_EQ(grant_expires_at_ms(grants[i]), std::nullopt) << i;
  }
  EXPECT_FALSE(is_active_promo_grant(nlohmann::json("promo")));
  auto sums = sum_grants(grants);
  EXPECT_DOUBLE_EQ(*sums.remaining, 2.01);
  EXPECT_EQ(sums.total, std::nullopt);
  EXPECT_EQ(percent_used(5, 20), 75);
  EXPECT_EQ(percent_used(-10, 20), 100);  // lowered to 100
  EXPECT_EQ(percent_used(5, std::nullopt), std::nullopt);
  EXPECT_EQ(percent_used(std::nullopt, 20), std::nullopt);
}

TEST_F(CursorDashboard, TheAccountAsksTwiceInOrderAndFailsSoft) {
  kit::TempDir t;
  state_db(t / "state.vscdb", {{"cursorAuth/accessToken", "db-token"}});
  env_.set("CURSOR_DATA_DIR", t.path().string()).unset("CURSOR_ACCESS_TOKEN");
  server_.on(kPeriodPath, std::vector<ScriptedResponse>{{.body = R"({"planUsage":{"limit":2000,"remaining":500}})"},
                                                        {.status = 500},
                                                        {.status = 500}});
  server_.on(kLimitsPath, std::vector<ScriptedResponse>{{.body = R"({"usageLimitPolicyStatus":{"currentOnDemandLimitCents":250}})"},
                                                        {.body = R"({"usageLimitPolicyStatus":{"currentOnDemandLimitCents":250}})"},
                                                        {.status = 401}});
  auto both = load_cursor_account(false);
  ASSERT_TRUE(both);
  EXPECT_EQ((*both)["includedLimitUSD"], 20);
  EXPECT_EQ((*both)["onDemandLimitUSD"], 2.5);
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path(), kPeriodPath);
  EXPECT_EQ(requests[0].body, R"({"includePooledUsage":true})");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer db-token");
  EXPECT_EQ(requests[1].path(), kLimitsPath);
  EXPECT_EQ(requests[1].body, "{}");

  auto limits_only = load_cursor_account(false);  // the period reply failed: its figures are null
  ASSERT_TRUE(limits_only);
  EXPECT_EQ((*limits_only)["includedLimitUSD"], nullptr);
  EXPECT_EQ((*limits_only)["onDemandLimitUSD"], 2.5);
  EXPECT_EQ(load_cursor_account(false), std::nullopt);  // neither answered
  EXPECT_EQ(server_.requests().size(), 6u);

  EXPECT_EQ(load_cursor_account(true), std::nullopt);  // offline: nobody is asked
  env_.set("CURSOR_DATA_DIR", (t / "nothing").string());
  EXPECT_EQ(load_cursor_account(false), std::nullopt);  // no token: nobody is asked
  EXPECT_EQ(server_.requests().size(), 6u);
}

}  // namespace
}  // namespace qm::cursor::account
