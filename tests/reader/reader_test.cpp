// The reader run's small helpers: repeated keys and the record of an instant.
#include "reader/reader.h"

#include <gtest/gtest.h>

#include "date_utils.h"

namespace qm::reader {
namespace {

TEST(ReaderRun, DropRepeatedKeepsTheFirstOfEachKeyInOrder) {
  using Item = std::pair<std::string, int>;
  std::vector<Item> items{{"a", 0}, {"b", 1}, {"a", 2}, {"c", 3}, {"b", 4}, {"a", 5}, {"d", 6}};
  auto key = [](const Item& i) -> const std::string& { return i.first; };
  drop_repeated(items, 3, key);  // only from index 3 on: "a" at 5 is not compared with "a" at 0
  EXPECT_EQ(items, (std::vector<Item>{{"a", 0}, {"b", 1}, {"a", 2}, {"c", 3}, {"b", 4}, {"a", 5}, {"d", 6}}));
  drop_repeated(items, 0, key);
  EXPECT_EQ(items, (std::vector<Item>{{"a", 0}, {"b", 1}, {"c", 3}, {"d", 6}}));
}

TEST(ReaderRun, ARecordAtAnInstantInTheReportZone) {
  auto zone = date_utils::find_time_zone("America/New_York");
  ASSERT_TRUE(zone);
  UsageRecord r = record_at("m", 1'746'061'200'000, *zone);  // 2025-05-01T01:00Z
  EXPECT_EQ(r.model, "m");
  EXPECT_EQ(r.model_key, "m");
  EXPECT_EQ(r.date_key, "2025-04-30");
  EXPECT_EQ(r.timestamp_ms, 1'746'061'200'000);
}

}  // namespace
}  // namespace qm::reader
