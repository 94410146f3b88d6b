#pragma once
// What the Cursor tests share: the dashboard's paths and a state database built to order.
#include <filesystem>
#include <vector>

#include "kit/sqlite.h"

namespace qm::cursor::test {

inline constexpr const char* kPeriodPath = "/aiserver.v1.DashboardService/GetCurrentPeriodUsage";
inline constexpr const char* kLimitsPath = "/aiserver.v1.DashboardService/GetUsageLimitStatusAndActiveGrants";
inline constexpr const char* kEventsPath = "/aiserver.v1.DashboardService/GetAggregatedUsageEvents";

// Cursor's key-value table with these (key, value) rows.
inline void state_db(const std::filesystem::path& path, const std::vector<kit::SqlRow>& rows) {
  kit::SqliteFile(path).exec("CREATE TABLE ItemTable (key TEXT UNIQUE, value BLOB)").insert("ItemTable", {"key", "value"}, rows);
}

}  // namespace qm::cursor::test
