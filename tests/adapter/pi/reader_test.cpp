// The pi-agent reader over small session logs.
#include "adapter/pi/reader.h"

#include <gtest/gtest.h>

#include "kit/env.h"
#include "kit/reader.h"

namespace qm::pi {
namespace {

namespace fs = std::filesystem;


std::string reply(const std::string& usage, const std::string& model = R"(,"model":"gpt-5")",
                  const std::string& time = R"("timestamp":" 2025-01-15T10:30:00Z ",)") {
  return "{" + time + R"("type":"message","message":{"role":"assistant")" + model + R"(,"usage":)" + usage + "}}\n";
}

struct Fixture {
  kit::TempDir home;
  kit::EnvGuard env;
  pricing::PricingTable table = kit::price_table({{"gpt-5", {.input = 1e-6, .output = 2e-6}}});
  Fixture() { env.set("HOME", home.path().string()).unset("PI_AGENT_DIR"); }
  fs::path sessions() const { return home / ".pi/agent/sessions"; }
  AgentLoadResult load(CostMode mode = CostMode::Auto) { return load_pi_usage(kit::reader_options(mode), table); }
};

TEST(PiReader, ProjectsSessionsAndModelLabels) {
  EXPECT_EQ(project_of("/h/.pi/agent/sessions/proj/2025-01-15_s1.jsonl"), "proj");
  EXPECT_EQ(project_of("/data/pi/a.jsonl"), "unknown");
  EXPECT_EQ(session_id("/x/2025-01-15T10-30-00-000Z_abc_1.jsonl"), "abc_1");
  EXPECT_EQ(session_id("/x/plain.jsonl"), "plain");

  Fixture f;
  kit::write_file(f.sessions() / "proj/2025-01-15_s1.jsonl",
                  reply(R"({"input":1000,"output":10,"totalTokens":1100})") +  // 90 reasoning tokens
                      reply(R"({"input":7})", "") +                               // no model: no label
                      reply(R"({"input":5})", "", ""));                           // no time: nothing
  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.agent_id, "pi");
  EXPECT_EQ(row.label, "2025-01-15");
  EXPECT_EQ(row.input, 1007u);
  EXPECT_EQ(row.total, 1100u + 7u);
  ASSERT_EQ(row.model_usages.size(), 1u);  // the reply without a model counts in the totals only
  EXPECT_EQ(row.model_usages[0].model, "[pi] gpt-5");
  EXPECT_EQ(row.model_usages[0].reasoning, 90u);
  // The label is priced through the model inside it; the reasoning tokens are not priced.
  EXPECT_DOUBLE_EQ(row.cost, 1000 * 1e-6 + 10 * 2e-6);
}

TEST(PiReader, AMessageCountsOncePerProjectAndSession) {
  Fixture f;
  const std::string line = reply(R"({"input":1})");
  kit::write_file(f.sessions() / "p/a_s1.jsonl", line + line);  // repeated in its file
  kit::write_file(f.sessions() / "p/b_s1.jsonl", line);         // the same session in another file
  kit::write_file(f.sessions() / "p/c_s2.jsonl", line);         // another session
  kit::write_file(f.sessions() / "q/a_s1.jsonl", line);         // another project
  // The same instant written otherwise is another message.
  kit::write_file(f.sessions() / "q/z_s1.jsonl", reply(R"({"input":1})", R"(,"model":"gpt-5")",
                                                       R"("timestamp":"2025-01-15T10:30:00.000Z",)"));
  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].input, 4u);
}

TEST(PiReader, LinesThatGiveNothing) {
  Fixture f;
  std::string lines[] = {
      reply(R"({"input":1})", R"(,"model":"gpt-5")", R"("timestamp":"yesterday",)"),
      reply(R"({"input":1})", R"(,"model":"gpt-5")", R"("timestamp":1736937000000,)"),
      reply(R"({"input":0,"output":-2})"),
      R"({"timestamp":"2025-01-15T10:30:00Z","type":"other","message":{"role":"assistant","usage":{"input":1}}})" "\n",
      R"({"timestamp":"2025-01-15T10:30:00Z","type":null,"message":{"role":"assistant","usage":{"input":1}}})" "\n",
      R"({"timestamp":"2025-01-15T10:30:00Z","message":{"role":"user","usage":{"input":1}}})" "\n",
      R"({"timestamp":"2025-01-15T10:30:00Z","message":{"role":"assistant","usage":{"input":1}}})" "\r\n",  // counts
  };
  std::string text;
  for (const auto& l : lines) text += l;
  kit::write_file(f.sessions() / "p/s.jsonl", text);
  auto got = f.load();
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].total, 1u);
}

TEST(PiReader, RecordedCostsAndBadOnes) {
  Fixture f;
  kit::write_file(f.sessions() / "p/s.jsonl", reply(R"({"input":1000,"cost":{"total":0.5}})") +
                                                  reply(R"({"input":2000,"cost":{"total":-1.5}})") +
                                                  reply(R"({"input":4000,"cost":{"total":0.5}})", R"(,"model":"other")") +
                                                  reply(R"({"input":12,"cost":{"total":1e400}})"));
  struct Case {
    CostMode mode;
    double cost;
    bool other_unpriced;
  } cases[] = {
      // The negative cost and the one beyond a double's range count as absent.
      {CostMode::Auto, 0.5 + 2000e-6 + 0.5 + 12e-6, false},
      {CostMode::Calculate, 3012e-6, true},
      {CostMode::Display, 1.0, false},
  };
  for (const auto& c : cases) {
    auto got = f.load(c.mode);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_EQ(got->rows[0].input, 7012u);
    EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
    ASSERT_EQ(got->rows[0].model_usages.size(), 2u);
    for (const auto& m : got->rows[0].model_usages)
      EXPECT_EQ(m.unpriced, m.model == "[pi] other" && c.other_unpriced) << m.model;
  }
}

TEST(PiReader, RootsVariableHomeAndUnreadableLogs) {
  Fixture f;
  const std::string line = reply(R"({"input":1})");
  kit::write_file(f.sessions() / "p/s.jsonl", line);
  kit::write_file(f.home / "d1/p/s.jsonl", line);
  kit::write_file(f.home / "d2/x/sessions/q/s.jsonl", line);
  auto input = [&] { return kit::input_tokens(f.load()); };
  EXPECT_EQ(input(), 1u);
  kit::expect_agent_reported(f.home.path(), "pi");
  f.env.set("PI_AGENT_DIR", (f.home / "d1").string() + ", " + (f.home / "d2").string() + "," + (f.home / "d1").string());
  EXPECT_EQ(input(), 2u);
  f.env.set("PI_AGENT_DIR", " ");  // blank: the default
  EXPECT_EQ(input(), 1u);

  // A log whose last line was cut inside a character loses that line only.
  kit::write_file(f.sessions() / "p/cut.jsonl", line + "\n" + line.substr(0, line.size() - 2) + "\xc3");
  EXPECT_EQ(input(), 2u);
  EXPECT_TRUE(f.load()->unread.empty());
  kit::unset_home(f.env);
  EXPECT_EQ(f.load().error(), "home directory is not set");
}

// Session logs cut anywhere, read by several workers, give what one worker reading them
// whole gives: a message repeated on both sides of a cut, or in another file of its session,
// counts once.
TEST(PiReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  Fixture f;
  const std::string again = reply(R"({"input":3,"cost":{"total":0.5}})");
  kit::write_file(f.sessions() / "p/a_s1.jsonl",
                  reply(R"({"input":1000,"output":10,"totalTokens":1100})") + again + reply(R"({"input":7})", "") +
                      R"({"type":"message","message":{"role":"user","content":"between"}})" "\r\n" + again +
                      reply(R"({"input":5})", "", "") + reply(R"({"input":9})", R"(,"model":"other")") + again);
  kit::write_file(f.sessions() / "p/b_s1.jsonl", again + reply(R"({"input":11})"));
  kit::write_file(f.sessions() / "q/c_s1.jsonl", again);  // another project
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_pi_usage(options, f.table, sizes);
  });
  EXPECT_EQ(kit::input_tokens(f.load()), 1000u + 3 + 7 + 9 + 11 + 3);
}

}  // namespace
}  // namespace qm::pi
