// The Cursor reader against a loopback dashboard: the day range, the day loop and its
// failures, aggregation rows made records, and the agent-table row through the binary.
#include "adapter/cursor/reader.h"

#include <gtest/gtest.h>


#include "adapter/cursor/dashboard.h"
#include "json/strict.h"
#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/http_server.h"
#include "kit/pricing.h"
#include "kit/run.h"
#include "kit/snapshot.h"

namespace qm::cursor::loader {
namespace {

namespace fs = std::filesystem;
using kit::HttpServer;
using kit::ScriptedResponse;

using namespace cursor::test;
constexpr std::int64_t kNow = 1'749'556'800'000;  // 2025-06-10T12:00:00Z
constexpr std::int64_t kJune1 = 1'748'736'000'000;  // 2025-06-01T00:00:00Z
constexpr std::int64_t kDay = 86'400'000;

struct Range {
  std::optional<std::string> since = {}, until = {};
  std::string zone = "UTC";
};

all::loader::LoadOptions options(const Range& range, CostMode mode = CostMode::Auto, bool debug = false) {
  CommonOptions o;
  o.since = range.since;
  o.until = range.until;
  o.timezone = range.zone;
  o.mode = mode;
  o.debug = debug;
  return all::loader::make_load_options(o);
}

pricing::PricingTable prices() { return kit::price_table({{"gpt-5", {1e-6, 2e-6}}, {"sonnet-4", {3e-6, 1.5e-5}}}); }

// A dashboard on loopback, a token in the environment, no state database.
class CursorReader : public ::testing::Test {
 protected:
  CursorReader() {
    kit::unset_proxy_variables(env_);
    env_.set("TZDIR", "/usr/share/zoneinfo")
        .set("CURSOR_ACCESS_TOKEN", "tok")
        .set("CURSOR_DATA_DIR", "/nonexistent")
        .set("QUILLIMARE_CURSOR_API_URL", server_->url());
  }
  // A new server (no requests yet) in place of the old one.
  HttpServer& fresh_server() {
    server_ = std::make_unique<HttpServer>();
    env_.set("QUILLIMARE_CURSOR_API_URL", server_->url());
    return *server_;
  }
  std::vector<kit::ReceivedRequest> requests_to(const std::string& path) const {
    std::vector<kit::ReceivedRequest> out;
    for (auto& r : server_->requests())
      if (r.path() == path) out.push_back(r);
    return out;
  }

  kit::EnvGuard env_;
  std::unique_ptr<HttpServer> server_ = std::make_unique<HttpServer>();
  pricing::PricingTable table_ = prices();
};

std::string day_body(std::int64_t start, std::int64_t end) {
  return R"({"endDate":)" + std::to_string(end) + R"(,"startDate":)" + std::to_string(start) + R"(,"teamId":-1})";
}

TEST_F(CursorReader, DaysFromTheSinceDateOrTheBillingCycleToTheUntilDateOrToday) {
  const std::int64_t tokyo = -9 * 3'600'000;
  const struct {
    Range range;
    std::optional<std::string> period;  // the billing-cycle reply; none: status 500
    bool period_asked;
    std::size_t days;
    std::int64_t first_start;
  } cases[] = {
      {{}, R"({"billingCycleStart":"1748736000000"})", true, 10, kJune1},
      {{.zone = "Asia/Tokyo"}, R"({"billingCycleStart":1748736000000})", true, 10, kJune1 + tokyo},
      {{}, R"({"billingCycleStart":1748779200000})", true, 10, kJune1},  // noon: its day
      {{}, "{}", true, 31, kJune1 - 21 * kDay},                          // today minus 30 days
      {{}, std::nullopt, true, 31, kJune1 - 21 * kDay},
      {{}, R"({"billingCycleStart":1.7e12})", true, 31, kJune1 - 21 * kDay},
      // A start at or before the epoch is no start (it would ask for every day since 1970).
      {{}, R"({"billingCycleStart":0})", true, 31, kJune1 - 21 * kDay},
      {{}, R"({"billingCycleStart":"-86400000"})", true, 31, kJune1 - 21 * kDay},
      {{.since = "20250608"}, std::nullopt, false, 3, kJune1 + 7 * kDay},
      {{.since = "2025-06-01", .until = "20250602"}, std::nullopt, false, 2, kJune1},
      {{.since = "20250603", .until = "20250601"}, std::nullopt, false, 0, 0},
      {{.since = "20251301", .until = "20250605"}, R"({"billingCycleStart":1748736000000})", true, 5, kJune1},
  };
  for (const auto& c : cases) {
    const std::string where = c.range.since.value_or("-") + " " + c.range.until.value_or("-") + " " +
                              c.period.value_or("(500)") + " " + c.range.zone;
    auto& server = fresh_server();
    server.on(kPeriodPath, c.period ? ScriptedResponse{.body = *c.period} : ScriptedResponse{.status = 500});
    server.on(kEventsPath, ScriptedResponse{.body = "{}"});
    auto got = load_cursor_usage_at(kNow, options(c.range), table_);
    ASSERT_TRUE(got) << got.error();
    EXPECT_FALSE(got->detected) << where;

    auto period = requests_to(kPeriodPath);
    ASSERT_EQ(period.size(), c.period_asked ? 1u : 0u) << where;
    if (c.period_asked) {
      EXPECT_EQ(period[0].body, "{}") << where;
    }
    auto days = requests_to(kEventsPath);
    ASSERT_EQ(days.size(), c.days) << where;
    for (std::size_t i = 0; i < days.size(); ++i)
      EXPECT_EQ(days[i].body, day_body(c.first_start + static_cast<std::int64_t>(i) * kDay,
                                       c.first_start + static_cast<std::int64_t>(i + 1) * kDay))
          << where << " day " << i;
    if (c.period_asked) {
      EXPECT_EQ(server.requests().front().path(), kPeriodPath) << where;  // asked first
    }
  }
  const auto day = requests_to(kEventsPath).front();
  EXPECT_EQ(day.method, "POST");
  EXPECT_EQ(day.header("Authorization"), "Bearer tok");
  EXPECT_EQ(day.header("Connect-Protocol-Version"), "1");
}

TEST_F(CursorReader, FailedDaysStopTheLoopBeforeAnyUsageAndAreCountedAfter) {
  const ScriptedResponse fail{.status = 503}, empty{.body = "{}"},
      usage{.body = R"({"aggregations":[{"modelIntent":"gpt-5","inputTokens":100}]})"};
  const std::string gave_up = "WARN  Failed to load Cursor usage from the dashboard API.\n";
  const struct {
    const char* name;
    std::vector<ScriptedResponse> days;  // 2025-06-01 onwards, up to 2025-06-08
    std::size_t requests;
    std::string err;
    std::vector<std::string> labels;
    bool debug = false;
  } cases[] = {
      {"three failures first", {fail, fail, fail, usage}, 3, gave_up, {}},
      {"an answered day restarts the count", {fail, fail, empty, fail, fail, fail, usage}, 6, gave_up, {}},
      {"after usage the loop goes on",
       {usage, fail, fail, fail, fail, usage, empty, empty},
       8,
       "WARN  Failed to load Cursor usage for 4 of 8 days from the dashboard API; those days are not counted.\n",
       {"2025-06-01", "2025-06-06"}},
      {"a failure or two before usage",
       {fail, fail, usage, fail, empty, empty, empty, empty},
       8,
       "Failed to load Cursor usage for 2025-06-01\nFailed to load Cursor usage for 2025-06-02\n"
       "Failed to load Cursor usage for 2025-06-04\n"
       "WARN  Failed to load Cursor usage for 3 of 8 days from the dashboard API; those days are not counted.\n",
       {"2025-06-03"},
       true},
      {"every day answered", {empty, usage, empty}, 8, "", {"2025-06-02"}},
  };
  for (const auto& c : cases) {
    auto& server = fresh_server();
    server.on(kEventsPath, c.days);
    testing::internal::CaptureStderr();
    auto got = load_cursor_usage_at(kNow, options({.since = "20250601", .until = "20250608"}, CostMode::Auto, c.debug),
                                    table_);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(got) << c.name;  // the reader itself never fails
    EXPECT_EQ(server.requests().size(), c.requests) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
    std::vector<std::string> labels;
    for (const auto& row : got->rows) labels.push_back(row.label);
    EXPECT_EQ(labels, c.labels) << c.name;
    EXPECT_EQ(got->detected, !c.labels.empty()) << c.name;
  }
}

const ModelUsage* usage_of(const UsageRow& row, std::string_view model) {
  for (const auto& m : row.model_usages)
    if (m.model == model) return &m;
  return nullptr;
}

TEST_F(CursorReader, AggregationRowsBecomeRecordsPricedUnderTheCostMode) {
  server_->on(kEventsPath, ScriptedResponse{.body = R"({"aggregations":[
      {"modelIntent":" gpt-5 ","inputTokens":"12","outputTokens":3.9},
      {"modelIntent":"cursor-sonnet-4-thinking-high","inputTokens":1000,"outputTokens":100,
       "cacheWriteTokens":10,"cacheReadTokens":" 5 ","totalCents":"12.5"},
      {"modelIntent":"gpt-5","inputTokens":1,"totalCents":0},
      {"modelIntent":"mystery","inputTokens":10,"totalCents":-3},
      {"modelIntent":"  ","inputTokens":5},
      {"modelIntent":7,"inputTokens":5},
      {"inputTokens":5},
      {"modelIntent":"zero","inputTokens":0,"outputTokens":-4,"cacheReadTokens":"-3","cacheWriteTokens":"x"},
      "not an object"]})"});
  const struct {
    CostMode mode;
    double gpt, sonnet;
    bool mystery_unpriced;
  } cases[] = {
      {CostMode::Auto, 13e-6 + 6e-6, 0.125, true},  // "totalCents" 0 or negative is no recorded cost
      {CostMode::Calculate, 13e-6 + 6e-6, 1000 * 3e-6 + 100 * 1.5e-5, true},
      {CostMode::Display, 0.0, 0.125, false},
  };
  for (const auto& c : cases) {
    auto got = load_cursor_usage_at(kNow, options({.since = "20250601", .until = "20250601"}, c.mode), table_);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    const UsageRow& row = got->rows[0];
    EXPECT_EQ(row.label, "2025-06-01");
    EXPECT_EQ(row.agent_id, "cursor");
    ASSERT_EQ(row.model_usages.size(), 3u);
    const ModelUsage* gpt = usage_of(row, "gpt-5");  // both rows of the model count
    ASSERT_TRUE(gpt);
    EXPECT_EQ(gpt->input, 13u);
    EXPECT_EQ(gpt->output, 3u);
    EXPECT_DOUBLE_EQ(gpt->cost, c.gpt);
    const ModelUsage* sonnet = usage_of(row, "cursor-sonnet-4-thinking-high");  // the name as reported
    ASSERT_TRUE(sonnet);
    EXPECT_EQ(sonnet->cache_creation, 10u);
    EXPECT_EQ(sonnet->cache_read, 5u);
    EXPECT_DOUBLE_EQ(sonnet->cost, c.sonnet);
    const ModelUsage* mystery = usage_of(row, "mystery");
    ASSERT_TRUE(mystery);
    EXPECT_EQ(mystery->cost, 0.0);
    EXPECT_EQ(mystery->unpriced, c.mystery_unpriced);
    EXPECT_EQ(row.total, 13u + 3u + 1000u + 100u + 10u + 5u + 10u);
  }
}

TEST(CursorReaderValues, CompactDatesCountsAndPriceCandidates) {
  using date_utils::CivilDate;
  const std::pair<std::optional<std::string>, std::optional<CivilDate>> dates[] = {
      {"20250601", CivilDate{2025, 6, 1}},  {"2025-06-01", CivilDate{2025, 6, 1}},
      {"2-0-2-5-0-6-0-1", CivilDate{2025, 6, 1}}, {"+0250601", CivilDate{25, 6, 1}},
      {"20240229", CivilDate{2024, 2, 29}}, {"20230229", std::nullopt},
      {"20251301", std::nullopt},           {"2025061", std::nullopt},
      {"202506011", std::nullopt},          {"2025 601", std::nullopt},
      {"2025\xC2\xB7" "0601", std::nullopt},   {std::nullopt, std::nullopt},
  };
  for (const auto& [text, date] : dates) EXPECT_EQ(parse_compact_date(text), date) << text.value_or("(none)");

  const std::pair<const char*, std::uint64_t> counts[] = {
      {"12", 12},      {"-4", 0},   {"3.9", 3},  {"-3.9", 0}, {"1e30", UINT64_MAX}, {"\" 12 \"", 12},
      {"\"+7\"", 7},   {"\"-7\"", 0}, {"\"\"", 0}, {"\"1.5\"", 0}, {"\"x\"", 0},      {"true", 0},
      {"null", 0},     {"{}", 0},   {"\"99999999999999999999\"", 0},
  };
  json::StrictParser parser;
  for (const auto& [text, count] : counts)
    EXPECT_EQ(json_count(parser.parse_copy(std::string("{\"v\":") + text + "}")->at_key("v").value()), count) << text;
  EXPECT_EQ(json_count(std::nullopt), 0u);

  using Names = std::vector<std::string>;
  const std::pair<const char*, Names> candidates[] = {
      {"gpt-5", {"gpt-5"}},
      {"cursor-gpt-5-high-fast", {"cursor-gpt-5-high-fast", "gpt-5-high-fast", "gpt-5"}},
      {"claude-4-sonnet-thinking-high-fast",
       {"claude-4-sonnet-thinking-high-fast", "claude-4-sonnet-thinking", "claude-4-sonnet"}},
      {"o3-xhigh", {"o3-xhigh", "o3"}},
      {"gpt-5-medium-thinking-low", {"gpt-5-medium-thinking-low", "gpt-5-medium", "gpt-5"}},
      {"cursor-", {"cursor-"}},  // nothing left to try
      {"-high", {"-high"}},
  };
  for (const auto& [model, names] : candidates) EXPECT_EQ(price_candidates(model), names) << model;
}

TEST(CursorReaderRun, TheAgentTableRowAsksWithTheStoredTokenAndOfflineAsksNobody) {
  kit::TempDir home;
  const fs::path db = home / ".config/Cursor/User/globalStorage/state.vscdb";
  state_db(db, {{"cursorAuth/accessToken", "stored-token"}});
  HttpServer server;
  server.on(kEventsPath, ScriptedResponse{.body = R"({"aggregations":[{"modelIntent":"gpt-5","inputTokens":40,"outputTokens":2}]})"});
  kit::RunOptions o;
  o.env = kit::base_env(home.path().string());
  o.env["QUILLIMARE_CURSOR_API_URL"] = server.url();
  kit::Snapshot state(db.parent_path());
  auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv{QM_BINARY, "summary", "--agents", "cursor", "--json", "--since", "20250601", "--until", "20250602"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return kit::run(argv, o);
  };

  auto online = run({});
  ASSERT_EQ(online.status, 0) << online.err;
  ASSERT_EQ(kit::json_size(online.out, "/daily"), 2u) << online.out;
  EXPECT_EQ(kit::json_number(online.out, "/daily/0/tokens"), 42);
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].header("Authorization"), "Bearer stored-token");
  EXPECT_TRUE(state.unchanged());

  auto offline = run({"--offline"});
  ASSERT_EQ(offline.status, 0) << offline.err;
  EXPECT_EQ(kit::json_size(offline.out, "/daily"), 0u) << offline.out;
  EXPECT_EQ(offline.err, "");
  EXPECT_EQ(server.requests().size(), 2u);  // nobody asked
  EXPECT_TRUE(state.unchanged());
}

}  // namespace
}  // namespace qm::cursor::loader
