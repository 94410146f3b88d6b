#pragma once
// Subscription value arithmetic and the short texts the screens share.
#include <cstdint>
#include <string>

namespace qm::all::subscription {

// 1.0K, 2.5M, 3.1B, 4.0T; plain below 1,000.
std::string format_compact_count(std::uint64_t count);
std::size_t compact_count_string(std::uint64_t count);
// $1.2k, $2.5M; "${:.2}" below 1,000.
std::string format_money_short(double amount);
std::size_t money_short_string(double amount);
std::size_t money_string(double amount);

}  // namespace qm::all::subscription
