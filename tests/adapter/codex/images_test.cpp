// Image generation ids in Codex rollouts: which lines give one, and the distinct ids of the
// last 30 days over every session directory.
#include <gtest/gtest.h>

#include "adapter/codex/images.h"
#include "kit/env.h"

namespace qm::codex::images {
namespace {

TEST(ImageIds, FromALine) {
  struct Case {
    std::string_view line;
    std::optional<std::string_view> want;
  };
  const Case cases[] = {
      {R"({"payload":{"type":"image_generation_call","id":"ig_1a","result":"…"}})", "ig_1a"},
      // The first quoted "ig_" text, wherever it stands.
      {R"({"id":"ig_first","type":"image_generation_call","call":"ig_second"})", "ig_first"},
      {R"({"type":"image_generation_call","id":"ig_"})", "ig_"},
      {R"({"type":"image_generation_call","id":"ig_open)", std::nullopt},
      {R"({"type":"image_generation_call","id":"call_1"})", std::nullopt},
      {R"({"type":"message","id":"ig_1"})", std::nullopt},
      {R"({"type":"image_generation_call","id":ig_1})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(image_generation_id(c.line), c.want) << c.line;
}

TEST(ImageIds, DistinctOverTheLastThirtyDays) {
  kit::TempDir dir;
  kit::EnvGuard env;
  env.set("CODEX_HOME", (dir / "a").string() + "," + (dir / "b").string());
  auto call = [](std::string_view id) {
    return R"({"type":"response_item","payload":{"type":"image_generation_call","id":")" + std::string(id) + "\"}}\n";
  };
  kit::write_file(dir / "a/sessions/2026/01/07/rollout-2026-01-07T10-00-00-x.jsonl",
                  call("ig_1") + call("ig_2") + call("ig_1") + R"({"type":"event_msg"})" "\n");
  kit::write_file(dir / "a/archived_sessions/rollout-2025-12-09T10-00-00-y.jsonl", call("ig_2") + call("ig_3"));
  kit::write_file(dir / "a/sessions/2025/12/08/rollout-2025-12-08T23-59-59-z.jsonl", call("ig_old"));
  kit::write_file(dir / "b/sessions/notes.jsonl", call("ig_4"));
  kit::write_file(dir / "b/sessions/rollout-a.jsonl", call("ig_5"));  // no date in the name: read
  kit::write_file(dir / "b/sessions/rollout-ok.txt", call("ig_6"));      // not a rollout
  for (bool single : {true, false}) EXPECT_EQ(count_image_generations("2025-12-09", single), 5u) << single;

  EXPECT_TRUE(named_before("rollout-2025-12-08T23-59-59-z.jsonl", "2025-12-09"));
  EXPECT_FALSE(named_before("rollout-2025-12-09.jsonl", "2025-12-09"));
  EXPECT_FALSE(named_before("rollout-2025.jsonl", "2025-12-09"));
  EXPECT_FALSE(named_before("old-2025-12-08.jsonl", "2025-12-09"));

  env.set("CODEX_HOME", (dir / "none").string());
  EXPECT_EQ(count_image_generations("2025-12-09", false), 0u);
}

}  // namespace
}  // namespace qm::codex::images
