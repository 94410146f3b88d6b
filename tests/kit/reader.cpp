#include "kit/reader.h"

#include <gtest/gtest.h>

#include "kit/run.h"

namespace qm::kit {

all::loader::LoadOptions reader_options(CostMode mode) {
  CommonOptions o;
  o.timezone = "UTC";
  o.mode = mode;
  return all::loader::make_load_options(o);
}

std::uint64_t input_tokens(const AgentLoadResult& result) {
  EXPECT_TRUE(result) << result.error();
  std::uint64_t sum = 0;
  if (result)
    for (const auto& row : result->rows) sum += row.input;
  return sum;
}

void expect_computed_cost_modes(const std::function<AgentLoadResult(CostMode)>& load, double cost) {
  struct Case {
    CostMode mode;
    double cost;
    bool marked;
  } cases[] = {{CostMode::Auto, cost, true}, {CostMode::Calculate, cost, true}, {CostMode::Display, 0.0, false}};
  for (const auto& c : cases) {
    auto got = load(c.mode);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    EXPECT_DOUBLE_EQ(got->rows[0].cost, c.cost);
    ASSERT_EQ(got->rows[0].model_usages.size(), 2u);
    EXPECT_EQ(got->rows[0].model_usages[1].model, "nowhere");
    EXPECT_EQ(got->rows[0].model_usages[1].unpriced, c.marked);
  }
}

void expect_one_unread(const AgentLoadResult& result, std::uint64_t input, const std::filesystem::path& path,
                       std::string_view reason) {
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(input_tokens(result), input);
  EXPECT_EQ(result->unread, (UnreadFiles{1, path.string(), std::string(reason)}));
}

void expect_parts_read_as_whole(
    const std::function<AgentLoadResult(const all::loader::LoadOptions&, const parallel::PartSizes&)>& load) {
  auto options = reader_options();
  options.common.single_thread = true;
  const auto whole = load(options, parallel::PartSizes{});
  ASSERT_TRUE(whole) << whole.error();
  ASSERT_FALSE(whole->rows.empty());
  options.common.single_thread = false;
  for (std::uint64_t part : {1, 2, 3, 5, 8, 13, 21, 64, 150, 333, 1000, 4096}) {
    const auto cut = load(options, parallel::PartSizes{.cut_above = 0, .part = part});
    ASSERT_TRUE(cut) << cut.error();
    EXPECT_EQ(cut->rows, whole->rows) << "parts of " << part << " bytes";
    EXPECT_EQ(cut->detected, whole->detected);
    EXPECT_EQ(cut->unread, whole->unread);
  }
}

const ModelUsage* model_usage(const UsageRow& row, std::string_view model) {
  for (const auto& m : row.model_usages)
    if (m.model == model) return &m;
  return nullptr;
}

void unset_home(EnvGuard& env) { env.unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("HOMEPATH"); }

void expect_agent_reported(const std::filesystem::path& home, std::string_view agent) {
  RunOptions o;
  o.env = base_env(home.string());
  auto run = kit::run({QM_BINARY, "summary", "--agents", std::string(agent), "--offline", "--json"}, o);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"agent\": \"" + std::string(agent) + "\""), std::string::npos) << run.out;
}

}  // namespace qm::kit
