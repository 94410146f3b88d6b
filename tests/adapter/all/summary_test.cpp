// Totals, the text screen and the JSON document of the summary.
#include "adapter/all/summary.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "adapter/all/loader.h"
#include "adapter/all/rows.h"
#include "kit/env.h"
#include "kit/golden.h"
#include "kit/run.h"
#include "render.h"

namespace qm::all::summary {
namespace {

using testing::part;
using testing::sample_rows;

TEST(Totals, AgentsAndModelsByCostThenTokens) {
  auto t = build_summary_totals(sample_rows());
  ASSERT_EQ(t.agents.size(), 3u);
  EXPECT_EQ(t.agents[0].name, "claude");
  EXPECT_EQ(t.agents[0].cost, 12.5);
  EXPECT_EQ(t.agents[0].tokens, 1'500'999u);
  EXPECT_EQ(t.daily.size(), 2u);
  EXPECT_EQ(t.period->from, "2026-01-05");
  EXPECT_EQ(t.period->to, "2026-01-06");
  EXPECT_EQ(t.total_cost, 16.75);
  EXPECT_EQ(t.models.front().name, "claude-sonnet-4-5");
  EXPECT_EQ(t.models.back().name, "modèle-été");

  // Equal costs: more tokens first; equal in both: first met stays first.
  std::vector<UsageRow> ties = {part("a", "2026-01-01", 1, 5, {}), part("b", "2026-01-01", 1, 9, {}),
                                part("c", "2026-01-01", 1, 9, {}), part("all", "2026-01-01", 7, 1, {})};
  auto tt = build_summary_totals(ties);
  ASSERT_EQ(tt.agents.size(), 3u);  // an unmerged "all" row counts in no agent
  EXPECT_EQ(tt.agents[0].name + tt.agents[1].name + tt.agents[2].name, "bca");
  EXPECT_EQ(tt.total_cost, 10.0);
  EXPECT_FALSE(build_summary_totals({}).period);
}

TEST(Document, EmptyRunIsTheEmptyDocument) {
  auto doc = summary_document({}, build_summary_totals({}));
  EXPECT_EQ(doc.dump(), R"({"agents":[],"daily":[],"models":[],"totals":{"totalCost":0,"totalTokens":0}})");
}

TEST(Document, AgentsDaysModelsAndCursorShares) {
  auto rows = sample_rows();
  auto doc = summary_document(rows, build_summary_totals(rows));
  // Made on several workers, the agents' pieces are the same, in the same order.
  EXPECT_EQ(summary_document(rows, build_summary_totals(rows), 4).dump(), doc.dump());
  EXPECT_EQ(doc["totals"].dump(), R"({"totalCost":16.75,"totalTokens":1790999})");
  EXPECT_EQ(doc["daily"].dump(),
            R"([{"cost":15.5,"date":"2026-01-05","tokens":1750000},{"cost":1.25,"date":"2026-01-06","tokens":40999}])");
  const auto& claude = doc["agents"][0];
  EXPECT_EQ(claude["agent"], "claude");
  EXPECT_EQ(claude["totalCost"].dump(), "12.5");
  EXPECT_EQ(claude["daily"].size(), 2u);
  EXPECT_EQ(claude["tokenBreakdown"].dump(), R"({"cacheRead":0,"cacheWrite":0,"input":1500999,"output":0})");
  double sum = 0;
  for (const auto& m : claude["models"]) sum += m["percentage"].get<double>();
  EXPECT_DOUBLE_EQ(sum, 100.0);  // against the agent's own total
  const auto& codex = doc["agents"][1];
  EXPECT_EQ(codex["totalCost"].dump(), "3");  // a whole cost is an integer
  const auto& cursor = doc["agents"][2];
  ASSERT_EQ(cursor["daily"].size(), 1u);
  EXPECT_EQ(cursor["daily"][0]["cursorModelsCost"].dump(), "0.75");  // "Auto" counts, "autopilot" does not
  EXPECT_EQ(cursor["daily"][0]["cursorModelsTokens"], 20000);
  EXPECT_FALSE(claude["daily"][0].contains("cursorModelsCost"));
}

// The screen with the given colour switches, box included.
std::string screen(const std::vector<UsageRow>& rows, bool no_cost, const std::vector<std::string>& detected) {
  auto t = build_summary_totals(rows);
  auto console = render::console_settings(false, false);
  return render::box_text(heading_text(detected), console) + render_tables(t, no_cost, console).value_or("");
}

std::string golden(const std::string& name, const std::string& actual) {
  return kit::golden("tests/adapter/all/golden/" + name, actual);
}

TEST(Screen, GoldenWithoutAndWithColour) {
  kit::EnvGuard env;
  env.set("NO_COLOR", "1").unset("FORCE_COLOR").unset("LOG_LEVEL");
  std::vector<std::string> detected = {"cursor", "claude", "codex", "copilot", "pi"};
  auto plain = screen(sample_rows(), false, detected);
  EXPECT_EQ(plain, golden("screen.txt", plain));
  auto no_cost = screen(sample_rows(), true, detected);
  EXPECT_EQ(no_cost, golden("screen-no-cost.txt", no_cost));
  env.unset("NO_COLOR").set("FORCE_COLOR", "1");
  auto color = screen(sample_rows(), false, detected);
  EXPECT_EQ(color, golden("screen-color.txt", color));
}

TEST(Screen, ModelsBeyondTenAndZeroCosts) {
  kit::EnvGuard env;
  env.unset("FORCE_COLOR").set("NO_COLOR", "1");
  std::vector<std::pair<std::string, double>> models;
  for (int i = 0; i < 11; ++i) models.emplace_back("m" + std::to_string(i), 11 - i);
  auto t = build_summary_totals(loader::merge_rows_by_label({part("amp", "2026-02-01", 66, 1100, models)}));
  auto text = render_tables(t, false, render::console_settings(false, false)).value();
  EXPECT_NE(text.find("    … +1 more models   $1.00\n"), std::string::npos);
  models.pop_back();
  t = build_summary_totals(loader::merge_rows_by_label({part("amp", "2026-02-01", 65, 1000, models)}));
  EXPECT_EQ(render_tables(t, false, render::console_settings(false, false))->find("more models"), std::string::npos);

  auto zero = build_summary_totals(loader::merge_rows_by_label({part("amp", "2026-02-01", 0, 10, {{"m", 0}})}));
  auto z = render_tables(zero, false, render::console_settings(false, false)).value();
  EXPECT_NE(z.find("0.0%  ────────────────\n"), std::string::npos);
  EXPECT_EQ(render_tables(build_summary_totals({}), false, render::console_settings(false, false)), std::nullopt);
}

TEST(Screen, LabelsStylesAndBars) {
  EXPECT_EQ(short_day_label("2026-01-05"), "Mon Jan 05");
  EXPECT_EQ(short_day_label("2026-1-5"), "2026-1-5");
  EXPECT_EQ(model_style("GPT-5"), Style::Green);
  EXPECT_EQ(model_style("claude-opus"), Style::Magenta);
  EXPECT_EQ(model_style("composer-1"), Style::Red);
  EXPECT_EQ(model_style("grok-4"), Style::Red);
  EXPECT_EQ(model_style("qwen3"), Style::Cyan);
  ConsoleSettings off{false, std::nullopt, true};
  EXPECT_EQ(render_bar(Style::Cyan, 1, 32, off), "━" + std::string() + [] {
    std::string s;
    for (int i = 0; i < 15; ++i) s += "─";
    return s;
  }());
  EXPECT_EQ(render_bar(Style::Cyan, std::nan(""), 1, off).size(), 16u * 3);
  EXPECT_EQ(heading_text({}), "Coding (Agent) CLI Usage Summary\nDetected: None");
  EXPECT_EQ(heading_text({"pi", "copilot", "codex", "claude", "claude"}),
            "Coding (Agent) CLI Usage Summary\nDetected: Claude, Codex, GitHub Copilot CLI, pi-agent");
}

TEST(Range, WordsBecomeDates) {
  using date_utils::CivilDate;
  struct Case {
    SummaryRange range;
    CivilDate today;
    std::optional<std::string> since, until;
  } cases[] = {
      {SummaryRange::Wtd, {2026, 3, 8}, "20260302", "keep"},   // a Sunday: the Monday before
      {SummaryRange::Wtd, {2026, 3, 9}, "20260309", "keep"},   // a Monday: today
      {SummaryRange::Today, {2026, 3, 9}, "20260309", "keep"},
      {SummaryRange::Yesterday, {2026, 3, 1}, "20260228", "20260228"},
      {SummaryRange::Mtd, {2026, 3, 9}, "20260301", "keep"},
      {SummaryRange::Ytd, {2026, 3, 9}, "20260101", "keep"},
      {SummaryRange::Week, {2026, 3, 9}, "20260303", "keep"},
      {SummaryRange::Month, {2026, 3, 9}, "20260208", "keep"},
  };
  for (const auto& c : cases) {
    CommonOptions o;
    o.since = "x";
    o.until = "keep";
    apply_range(c.range, c.today, o);
    EXPECT_EQ(o.since, c.since) << static_cast<int>(c.range);
    EXPECT_EQ(o.until, c.until) << static_cast<int>(c.range);
  }
}

TEST(Runner, EmptyHomeAsAUserSeesIt) {
  kit::TempDir home;
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  auto text = kit::run({QM_BINARY, "--offline"}, opts);
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.err, "No usage data found.\n");
  EXPECT_NE(text.out.find("Detected: None"), std::string::npos);
  EXPECT_EQ(text.out.find("\x1b["), std::string::npos);  // a pipe gets no colour

  opts.env["LOG_LEVEL"] = "0";
  auto quiet = kit::run({QM_BINARY, "summary", "mtd", "-O"}, opts);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "No usage data found.\n");

  auto json = kit::run({QM_BINARY, "-O", "--json"}, opts);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out,
            "{\n  \"agents\": [],\n  \"daily\": [],\n  \"models\": [],\n  \"totals\": {\n    \"totalCost\": 0,\n"
            "    \"totalTokens\": 0\n  }\n}\n");

  opts.env["QUILLIMARE_QUOTA_ONLY"] = "1";
  auto quota = kit::run({QM_BINARY, "-O", "--jq=-c", "--no-cost"}, opts);
  EXPECT_EQ(quota.status, 0);
  EXPECT_EQ(quota.out.rfind("{\"agent\":\"cursor\",\"observedAt\":", 0), 0u) << quota.out;
  opts.env["QUILLIMARE_QUOTA_ONLY"] = "1 ";
  auto not_quota = kit::run({QM_BINARY, "-O", "-q", ".totals", "--jq=-c"}, opts);
  EXPECT_EQ(not_quota.out, "{\"agents\":[],\"daily\":[],\"models\":[],\"totals\":{\"totalCost\":0,\"totalTokens\":0}}\n");
}

// Standard output on a full device: the text screen fails the run as the document does.
TEST(Runner, AScreenNotWrittenFailsTheRun) {
  kit::TempDir home;
  kit::write_file(home / ".claude/projects/p/s.jsonl",
                  R"({"type":"assistant","message":{"model":"claude-sonnet-4-5","id":"msg_1","usage":{"input_tokens":10,"output_tokens":5}},"requestId":"r","timestamp":"2025-10-01T10:00:00.000Z"})"
                  "\n");
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  auto to_full = [&](const std::string& args) {
    return kit::run({"/bin/sh", "-c", std::string("exec \"") + QM_BINARY + "\" summary --offline " + args + " >/dev/full"},
                    opts);
  };
  for (const std::string args : {"", "--chart", "--value", "--json"}) {
    auto r = to_full(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, "Error: CliError(\"No space left on device\")\n") << args;
  }
  // With nothing to write, nothing was lost.
  std::filesystem::remove_all(home / ".claude");
  opts.env["LOG_LEVEL"] = "0";
  auto quiet = to_full("");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "No usage data found.\n");
}

TEST(Runner, TokenSumsStopAtTheLargestCount) {
  // Two Claude replies and a Codex token count of one day, each near 2^64 tokens.
  kit::TempDir home;
  auto claude_line = [](const std::string& id) {
    return R"({"type":"assistant","message":{"model":"m","id":")" + id +
           R"(","usage":{"input_tokens":18446744073709551615,"output_tokens":5,"cache_creation":{"ephemeral_5m_input_tokens":18446744073709551615,"ephemeral_1h_input_tokens":1}}},"requestId":"r","timestamp":"2025-10-01T10:00:00.000Z"})"
           "\n";
  };
  kit::write_file(home / ".claude/projects/p/s.jsonl", claude_line("msg_1") + claude_line("msg_2"));
  kit::write_file(home / ".codex/sessions/2025/10/01/rollout-2025-10-01T10-00-00-a.jsonl",
                  R"({"timestamp":"2025-10-01T11:00:00.000Z","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":18446744073709551615,"output_tokens":7,"total_tokens":18446744073709551615}}}})"
                  "\n");
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  auto run = kit::run({QM_BINARY, "summary", "--offline", "--json"}, opts);
  ASSERT_EQ(run.status, 0) << run.err;
  auto doc = nlohmann::json::parse(run.out);
  const std::uint64_t most = UINT64_MAX;
  EXPECT_EQ(doc["totals"]["totalTokens"], most);
  ASSERT_EQ(doc["daily"].size(), 1u);
  EXPECT_EQ(doc["daily"][0]["tokens"], most);
  ASSERT_EQ(doc["agents"].size(), 2u);
  for (const auto& agent : doc["agents"]) {
    EXPECT_EQ(agent["totalTokens"], most) << agent["agent"];
    EXPECT_EQ(agent["tokenBreakdown"]["input"], most) << agent["agent"];
    EXPECT_EQ(agent["daily"][0]["tokens"], most) << agent["agent"];
  }
  const auto& claude = doc["agents"][0]["agent"] == "claude" ? doc["agents"][0] : doc["agents"][1];
  EXPECT_EQ(claude["tokenBreakdown"]["output"], 10u);
  EXPECT_EQ(claude["tokenBreakdown"]["cacheWrite"], most);
  for (const auto& model : doc["models"]) EXPECT_EQ(model["totalTokens"], most) << model["model"];
}

}  // namespace
}  // namespace qm::all::summary
