// The loading framework over fake readers, and the merge of rows per date.
#include "adapter/all/loader.h"

#include <gtest/gtest.h>

#include "adapter/all/registry.h"
#include "pricing/table.h"

#include <atomic>
#include <thread>

namespace qm::all::loader {
namespace {

UsageRow row(std::string agent, std::string label, double cost, std::vector<std::pair<std::string, double>> models) {
  UsageRow r;
  r.agent_id = agent;
  r.agents = {agent};
  r.label = std::move(label);
  r.cost = cost;
  r.input = 10;
  r.total = 10;
  for (auto& [m, c] : models) {
    r.models.push_back(m);
    r.model_usages.push_back(ModelUsage{m, 10, 0, 0, 0, 0, c});
  }
  return r;
}

AgentUsage detected(std::vector<UsageRow> rows) {
  AgentUsage u;
  u.rows = std::move(rows);
  u.detected = true;
  return u;
}

struct Fake {
  std::string_view id;
  AgentKind kind;
  AgentLoadResult result;
  int delay_ms = 0;
};

TableBuilder fake_table(std::vector<Fake> fakes, std::atomic<int>* runs = nullptr) {
  return [fakes, runs](const LoadContext&) {
    AgentTable table;
    std::size_t i = 0;
    for (const auto& f : fakes)
      table.push_back(LoaderEntry{f.id,
                                  [f, runs] {
                                    if (runs) ++*runs;
                                    std::this_thread::sleep_for(std::chrono::milliseconds(f.delay_ms));
                                    return f.result;
                                  },
                                  i++, f.kind});
    return table;
  };
}

CommonOptions quiet() {
  CommonOptions o;
  o.json = true;
  o.offline = true;
  return o;
}

TEST(Loader, FirstFailureInTableOrderFailsTheRun) {
  std::atomic<int> runs = 0;
  auto table = fake_table({{"claude", AgentKind::Claude, AgentUsage{}},
                           {"codex", AgentKind::Codex, std::unexpected(std::string("codex broke")), 80},
                           {"goose", AgentKind::Goose, std::unexpected(std::string("goose broke"))}},
                          &runs);
  auto r = load_agents(quiet(), table);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "codex broke");
  EXPECT_EQ(runs, 3);  // every reader runs to the end
}

TEST(Loader, AgentsFilterRunsOnlyTheNamedReaders) {
  std::atomic<int> runs = 0;
  AgentUsage found = detected({row("cursor", "2025-03-01", 1, {{"auto", 1}})});
  auto table = fake_table({{"claude", AgentKind::Claude, std::unexpected(std::string("must not run"))},
                           {"cursor", AgentKind::Cursor, found}},
                          &runs);
  auto o = quiet();
  o.agents = {"cursor"};
  auto r = load_agents(o, table);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(r->detected, (std::vector<std::string>{"cursor"}));
}

TEST(Loader, MergesPerDateDetectsAndOrders) {
  AgentUsage claude = detected({row("claude", "2025-03-02", 2, {{"opus", 2}}), row("claude", "2025-03-01", 1, {{"opus", 1}})});
  AgentUsage codex = detected({row("codex", "2025-03-02", 3, {{"gpt-5", 1}, {"opus", 2}}), row("codex", "2025-03-03", 1, {})});
  AgentUsage outside = detected({});  // records all outside the date range: detected, no rows
  auto table = fake_table({{"claude", AgentKind::Claude, claude, 30},
                           {"codex", AgentKind::Codex, codex},
                           {"opencode", AgentKind::OpenCode, outside},
                           {"amp", AgentKind::Amp, AgentUsage{}}});
  auto r = load_agents(quiet(), table);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->detected, (std::vector<std::string>{"claude", "codex", "opencode"}));
  ASSERT_EQ(r->rows.size(), 3u);
  const UsageRow& day = r->rows[1];
  EXPECT_EQ(day.label, "2025-03-02");
  EXPECT_EQ(day.agent_id, "all");
  EXPECT_EQ(day.agents, (std::vector<std::string>{"claude", "codex"}));
  EXPECT_EQ(day.models, (std::vector<std::string>{"gpt-5", "opus"}));
  EXPECT_EQ(day.cost, 5.0);
  EXPECT_EQ(day.total, 20u);
  ASSERT_EQ(day.model_usages.size(), 2u);
  EXPECT_EQ(day.model_usages[0].model, "opus");
  EXPECT_EQ(day.model_usages[0].cost, 4.0);
  ASSERT_TRUE(day.parts);
  ASSERT_EQ(day.parts->size(), 2u);
  EXPECT_EQ((*day.parts)[0].agent_id, "claude");
  // A Codex-only date is still a merged row with one part.
  EXPECT_EQ(r->rows[2].parts->size(), 1u);

  auto o = quiet();
  o.order = SortOrder::Desc;
  auto d = load_agents(o, table);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->rows.front().label, "2025-03-03");
  EXPECT_EQ((*d->rows[1].parts)[0].agent_id, "claude");
}

TEST(Loader, RowsOfOneAgentForOneDateAreAbsorbed) {
  auto merged = merge_rows_by_label({row("amp", "2025-01-01", 1, {{"b", 1}}), row("amp", "2025-01-01", 2, {{"a", 2}, {"b", 0.5}})});
  ASSERT_EQ(merged.size(), 1u);
  ASSERT_EQ(merged[0].parts->size(), 1u);
  const UsageRow& part = (*merged[0].parts)[0];
  EXPECT_EQ(part.cost, 3.0);
  EXPECT_EQ(part.models, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(part.model_usages[0].model, "a");
  EXPECT_EQ(part.model_usages[1].cost, 1.5);
}

// Rows of many agents and days, in any order: one row per day, days in order, each day's sums
// added up in the order the rows came, its parts in agent order.
TEST(Loader, InterleavedRowsMergeByDayInTheOrderGiven) {
  auto merged = merge_rows_by_label({row("kimi", "2025-01-02", 0.1, {{"k", 0.1}}), row("amp", "2025-01-01", 1, {{"b", 1}}),
                                     row("claude", "2025-01-02", 0.2, {{"c", 0.2}}), row("kimi", "2025-01-02", 0.3, {{"a", 0.3}}),
                                     row("amp", "2025-01-03", 2, {})});
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged[0].label + merged[1].label + merged[2].label, "2025-01-012025-01-022025-01-03");
  const UsageRow& day = merged[1];
  EXPECT_EQ(day.agent_id, "all");
  EXPECT_EQ(day.cost, (0.1 + 0.2) + 0.3);
  EXPECT_EQ(day.total, 30u);
  EXPECT_EQ(day.agents, (std::vector<std::string>{"claude", "kimi"}));
  EXPECT_EQ(day.models, (std::vector<std::string>{"a", "c", "k"}));
  ASSERT_EQ(day.parts->size(), 2u);
  EXPECT_EQ((*day.parts)[0].agent_id, "claude");
  EXPECT_EQ((*day.parts)[1].cost, 0.1 + 0.3);
  EXPECT_EQ((*day.parts)[1].label, "2025-01-02");
}

TEST(Loader, AgentTableOrderAndKinds) {
  pricing::PricingTable prices;
  auto options = make_load_options(quiet());
  auto table = default_agent_table(LoadContext{qm::summary::GroupingMode::Daily, options, prices});
  const std::pair<std::string_view, AgentKind> want[] = {
      {"claude", AgentKind::Claude}, {"codex", AgentKind::Codex},   {"opencode", AgentKind::OpenCode},
      {"amp", AgentKind::Amp},       {"droid", AgentKind::Droid},   {"codebuff", AgentKind::Codebuff},
      {"hermes", AgentKind::Hermes}, {"pi", AgentKind::Pi},         {"goose", AgentKind::Goose},
      {"openclaw", AgentKind::OpenClaw}, {"kilo", AgentKind::Kilo}, {"cursor", AgentKind::Cursor},
      {"copilot", AgentKind::Copilot}, {"gemini", AgentKind::Gemini}, {"kimi", AgentKind::Kimi},
      {"qwen", AgentKind::Qwen}};
  ASSERT_EQ(table.size(), std::size(want));
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].agent_id, want[i].first);
    EXPECT_EQ(table[i].kind, want[i].second);
    EXPECT_EQ(table[i].row_index, i);
    EXPECT_EQ(registry::agent(table[i].kind).id, table[i].agent_id);
  }
}

TEST(Loader, RecordsToUsageFiltersAfterDetecting) {
  auto o = make_load_options(quiet());
  o.common.since = "20250301";
  UsageRecord a;
  a.date_key = "2025-02-28";
  a.tokens.input = 5;
  auto usage = records_to_usage("kimi", {a}, o);
  EXPECT_TRUE(usage.detected);
  EXPECT_TRUE(usage.rows.empty());
  EXPECT_FALSE(records_to_usage("kimi", {}, o).detected);
}

TEST(Loader, RecordsToUsageSortsByTimeKeepingTheOrderOfEqualTimes) {
  auto o = make_load_options(quiet());
  // (time, model): the day's models in the order of their first record once sorted.
  const std::vector<std::pair<std::int64_t, std::string>> cases[] = {
      {{3, "c"}, {1, "a"}, {2, "b"}, {1, "d"}, {0, "e"}, {2, "f"}},
      {{0, "e"}, {1, "a"}, {1, "d"}, {2, "b"}, {2, "f"}, {3, "c"}},  // already in order
  };
  for (const auto& records_in : cases) {
    std::vector<UsageRecord> records;
    for (const auto& [time, model] : records_in) {
      UsageRecord r;
      r.date_key = "2025-03-01";
      r.timestamp_ms = time;
      r.model = r.model_key = model;
      r.tokens.input = 1;
      records.push_back(r);
    }
    auto usage = records_to_usage("kimi", records, o);
    ASSERT_EQ(usage.rows.size(), 1u);
    EXPECT_EQ(usage.rows[0].models, (std::vector<std::string>{"e", "a", "d", "b", "f", "c"}));
  }
}

TEST(Loader, UnreadFilesAreSaidOncePerAgentWhateverTheOutput) {
  AgentUsage gemini = detected({row("gemini", "2025-03-01", 1, {{"gemini-2.5-pro", 1}})});
  gemini.unread.add("/h/.gemini/tmp/a/chats/s1.json", "Permission denied");
  gemini.unread.add("/h/.gemini/tmp/a/chats/s2.json", "stream did not contain valid UTF-8");
  AgentUsage pi = detected({});
  pi.unread.add("/h/.pi/agent/sessions/x.jsonl", "No such file or directory");
  auto table = fake_table({{"pi", AgentKind::Pi, pi, 20}, {"gemini", AgentKind::Gemini, gemini}});
  testing::internal::CaptureStderr();
  auto r = load_agents(quiet(), table);  // JSON output, as --json runs
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->rows.size(), 1u);  // what was read is still reported
  EXPECT_EQ(err,
            "WARN  Could not read 1 pi-agent file; its usage is not counted: /h/.pi/agent/sessions/x.jsonl: "
            "No such file or directory\n"
            "WARN  Could not read 2 Gemini CLI files; their usage is not counted. First: "
            "/h/.gemini/tmp/a/chats/s1.json: Permission denied\n");
}

}  // namespace
}  // namespace qm::all::loader
