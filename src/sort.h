#pragma once
// The shared sort keys. Costs compare in the IEEE 754 total order; texts byte by byte.
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <utility>

#include "adapter/all/types.h"

namespace qm::sort {

// IEEE 754 totalOrder: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
int total_order_compare(double a, double b);
inline bool total_less(double a, double b) { return total_order_compare(a, b) < 0; }

bool agent_id_less(std::string_view a, std::string_view b);
bool row_less(const UsageRow& a, const UsageRow& b);
bool path_file_name_less(const std::filesystem::path& a, const std::filesystem::path& b);

// Stable sort of model usages by cost, highest first.
void sort_model_usages(std::vector<ModelUsage>& usages);

}  // namespace qm::sort
