#pragma once
// The daily cost chart drawn under the summary screen with --chart.
#include <string>
#include <vector>

#include "adapter/all/types.h"
#include "options.h"
#include "terminal/color.h"

namespace qm::all::chart {

inline constexpr std::size_t kChartDays = 21;
inline constexpr std::size_t kBarCells = 30;

// One stacked bar per day for the latest 21 dates of the merged rows (drawn in the run's
// order), split by the five costliest models of the run and an "other" share. Empty when
// there are no rows.
std::string render_daily_chart(const std::vector<UsageRow>& rows, SortOrder order, const ConsoleSettings& console);

}  // namespace qm::all::chart
