// The command line as a user meets it: the built binary, its exit status and both outputs.
#include <gtest/gtest.h>

#include "kit/env.h"
#include "kit/run.h"

namespace qm {
namespace {

constexpr const char* kUsageHint = "Run 'quillimare --help' for usage.\n";

struct Case {
  std::vector<std::string> args;
  int status;
  std::string err;  // status 2: the message before the usage hint; else all of standard error
  std::string out_prefix = "";
};

kit::RunResult run_binary(const std::vector<std::string>& args, const kit::TempDir& home) {
  std::vector<std::string> argv{QM_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  opts.cwd = home.path().string();
  return kit::run(argv, opts);
}

TEST(CommandLine, UsageErrorsAndAcceptedForms) {
  const std::vector<Case> cases = {
      {{"today"}, 2, "Unknown command 'today'"},
      {{"--value"}, 2, "Unknown option '--value'"},
      {{"--bogus=1"}, 2, "Unknown option '--bogus'"},
      {{"summary", "--bogus=1"}, 2, "Unknown summary option '--bogus'"},
      {{"summary", "fortnight"}, 2,
       "Invalid summary range 'fortnight'. Use today | yesterday | wtd | mtd | ytd | week | month."},
      {{"summary", "--range", "decade"}, 2,
       "Invalid summary range 'decade'. Use today | yesterday | wtd | mtd | ytd | week | month."},
      {{"--since", "-5"}, 2, "Missing value for --since"},
      {{"-s", "-5"}, 2, "Missing value for --since"},
      {{"--since="}, 2, "Missing value for --since"},
      {{"--until"}, 2, "Missing value for --until"},
      {{"--mode", "fast"}, 2, "Invalid cost mode 'fast'"},
      {{"-o", "up"}, 2, "Invalid sort order 'up'"},
      {{"--debug-samples=-1"}, 2, "Invalid value for --debug-samples"},
      {{"--debug-samples", "1.5"}, 2, "Invalid value for --debug-samples"},
      {{"--debug-samples", "18446744073709551616"}, 2, "Invalid value for --debug-samples"},
      {{"summary", "--agents", "claude,"}, 2, "Unsupported summary agent ''"},
      {{"summary", "--agents", "Claude"}, 2, "Unsupported summary agent 'Claude'"},
      {{"harness"}, 2, "Specify an agent: quillimare harness <codex|claude>"},
      {{"harness", "gemini"}, 2, "Unsupported agent 'gemini' for harness. Use 'quillimare harness <codex|claude>'."},
      {{"harness", "claude", "word"}, 2, "Expected option, got 'word'"},
      {{"harness", "codex", "--range", "mtd"}, 2, "Unknown harness option '--range'"},
      {{"harness", "codex", "--cursor-plan=pro"}, 2, "Unknown harness option '--cursor-plan'"},
      {{"summary", "today", "--json", "--since=-5", "--debug-samples", "+7", "--agents", "claude, codex,claude"}, 0,
       ""},
      {{"summary", "day", "--value=yes", "--all", "--range=mtd"}, 0, "No usage data found.\n"},
      {{"harness", "codex", "--value", "--codex-plan", "pro", "-j"}, 0, ""},
      {{"--since", ""}, 0, "No usage data found.\n"},
      {{"-V"}, 0, "", "quillimare 20.0.21\n"},
      {{"--bogus", "-h", "-v"}, 0, "", "quillimare 20.0.21\n"},
      {{"--bogus", "--help"}, 0, "", "USAGE:\n"},
  };
  kit::TempDir home;
  for (const auto& c : cases) {
    auto r = run_binary(c.args, home);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << label << "\n" << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.err, c.err + "\n" + kUsageHint) << label;
      EXPECT_EQ(r.out, "") << label;
    } else {
      EXPECT_EQ(r.err, c.err) << label;
    }
    EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix) << label;
  }
}

TEST(CommandLine, ArgumentsMustBeUtf8BeforeAnythingElse) {
  kit::TempDir home;
  auto r = run_binary({"--version", "caf\xe9"}, home);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string("Arguments must be valid UTF-8\n") + kUsageHint);
}

TEST(CommandLine, ClosedStandardStreamsDoNotBreakTheRun) {
  kit::TempDir home;
  std::vector<std::string> argv{"/bin/sh", "-c", std::string("exec \"") + QM_BINARY + "\" --version <&- 2>&-"};
  kit::RunOptions opts;
  opts.env = kit::base_env(home.path().string());
  auto r = kit::run(argv, opts);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "quillimare 20.0.21\n");
}

}  // namespace
}  // namespace qm
