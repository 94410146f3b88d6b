#pragma once
// Grouping usage records by their date key into daily groups.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "adapter/all/types.h"

namespace qm::summary {

enum class GroupingMode : std::uint8_t { Daily = 0 };

struct DayAccumulator {
  UsageGroup group;
  std::unordered_map<std::string, std::size_t> model_index;
};

void add_record(DayAccumulator& acc, const UsageRecord& record);
// What one record adds to its group, and to its model's share of the group.
void add_to_group(UsageGroup& group, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost,
                  const std::optional<double>& credits, const std::optional<std::uint64_t>& message_count);
void add_to_model(ModelUsage& model, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost, bool unpriced);
UsageGroup finish_group(DayAccumulator acc, std::string label);

// Groups in ascending date order.
std::vector<UsageGroup> group_by_day(const std::vector<UsageRecord>& records);
std::expected<std::vector<UsageGroup>, std::string> group_records(const std::vector<UsageRecord>& records,
                                                                  GroupingMode mode);

// The given weekday (0 = Sunday) on or before the date, or none for a text that is not a date.
std::optional<std::string> week_start(std::string_view date, int first_weekday);

}  // namespace qm::summary
