// The reader run's record of an instant.
#include "reader/reader.h"

#include <gtest/gtest.h>

#include "date_utils.h"

namespace qm::reader {
namespace {

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
