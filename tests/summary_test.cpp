// The start of a report week.
#include "src/summary.h"

#include <gtest/gtest.h>

namespace qm::summary {
namespace {

TEST(Weeks, WeekStart) {
  EXPECT_EQ(week_start("2025-03-05", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-03", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-09", 1), "2025-03-03");
  EXPECT_EQ(week_start("2025-03-09", 0), "2025-03-09");
  EXPECT_FALSE(week_start("2025-3-5", 1));
}

}  // namespace
}  // namespace qm::summary
