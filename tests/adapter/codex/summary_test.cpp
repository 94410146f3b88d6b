// `quillimare summary --agents codex` run as a user would, over a temporary Codex home.
#include <gtest/gtest.h>


#include "adapter/codex/rollout.h"
#include "kit/env.h"
#include "kit/json_text.h"
#include "kit/run.h"

namespace qm::codex {
namespace {

using testing::quoted;
using testing::token_count;
using testing::turn_context;
using testing::Usage;

kit::RunResult summary(const kit::TempDir& home, std::vector<std::string> args, bool with_home = true) {
  std::vector<std::string> argv{QM_BINARY, "summary", "--agents", "codex", "--offline", "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  if (!with_home) opts.env.erase("HOME");
  return kit::run(argv, opts);
}

TEST(CodexSummary, DaysTotalsAndTheSameDayWithARange) {
  kit::TempDir home;
  std::string rollout = turn_context("gpt-5") +
                        token_count(quoted("2025-10-01T10:00:00.000Z"), {}, Usage{1000, 800, 50, 10, 1060}) +
                        token_count(quoted("2025-10-02T10:00:00Z"), {}, Usage{3000, 800, 60, 10, 3070}) +
                        token_count("1759399200", Usage{7, 0, 0, 0, 7});  // the same day, written as seconds
  kit::write_file(home / ".codex/sessions/2025/10/01/rollout-2025-10-01T10-00-00-a.jsonl", rollout);
  kit::write_file(home / ".codex/archived_sessions/rollout-2025-10-01T10-00-00-a.jsonl", rollout);

  auto all = summary(home, {});
  ASSERT_EQ(all.status, 0) << all.err;
  ASSERT_EQ(kit::json_size(all.out, "/daily"), 2u);
  EXPECT_EQ(kit::json_at(all.out, "/daily/0/date"), R"("2025-10-01")");
  EXPECT_EQ(kit::json_number(all.out, "/daily/0/tokens"), 1060);  // the reported total, reasoning included
  EXPECT_GT(kit::json_number(all.out, "/daily/0/cost"), 0.0);
  EXPECT_EQ(kit::json_at(all.out, "/agents/0/agent"), R"("codex")");

  auto ranged = summary(home, {"--since", "2025-10-02", "--until", "2025-10-02"});
  ASSERT_EQ(ranged.status, 0) << ranged.err;
  ASSERT_EQ(kit::json_size(ranged.out, "/daily"), 1u);
  EXPECT_EQ(kit::json_at(ranged.out, "/daily/0"), kit::json_at(all.out, "/daily/1"));
}

TEST(CodexSummary, ReaderErrorsFailTheRun) {
  kit::TempDir home;
  auto no_home = summary(home, {}, false);
  EXPECT_EQ(no_home.status, 1);
  EXPECT_NE(no_home.err.find("home directory is not set"), std::string::npos) << no_home.err;

  kit::write_file(home / ".codex/sessions/a.jsonl", token_count(quoted("2025-10-01 10:00:00"), Usage{1, 0, 1, 0, 2}));
  auto bad = summary(home, {});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("Invalid Codex timestamp: 2025-10-01 10:00:00"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace qm::codex
