#pragma once
// Subscription value arithmetic and the short texts the screens share.
#include <cstdint>
#include <string>
#include <vector>

#include "adapter/all/summary.h"

namespace qm::all::subscription {

// 1.0K, 2.5M, 3.1B, 4.0T; plain below 1,000.
std::string format_compact_count(std::uint64_t count);
std::size_t compact_count_string(std::uint64_t count);
// $1.2k, $2.5M; "${:.2}" below 1,000.
std::string format_money_short(double amount);
std::size_t money_short_string(double amount);
std::size_t money_string(double amount);

// Every model of a run with its cost and tokens summed over all rows, largest cost first
// (equal costs in first-seen order).
std::vector<summary::ModelTotal> top_models(const std::vector<UsageRow>& rows);

}  // namespace qm::all::subscription
