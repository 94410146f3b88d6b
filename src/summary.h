#pragma once
// What a usage adds to its day's group and to its model's share of it; the start of a week.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/types.h"

namespace qm::summary {

enum class GroupingMode : std::uint8_t { Daily = 0 };

// What one record adds to its group, and to its model's share of the group.
void add_to_group(UsageGroup& group, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost,
                  const std::optional<double>& credits, const std::optional<std::uint64_t>& message_count);
void add_to_model(ModelUsage& model, const TokenUsageRaw& tokens, std::uint64_t reasoning, double cost, bool unpriced);

// The given weekday (0 = Sunday) on or before the date, or none for a text that is not a date.
std::optional<std::string> week_start(std::string_view date, int first_weekday);

}  // namespace qm::summary
