#pragma once
#include <cstddef>
#include <filesystem>
#include <vector>

namespace qm::claude {

// Spreads files over `buckets` lists of file indexes: largest first, each to the least
// loaded bucket (by bytes). Empty buckets are dropped.
std::vector<std::vector<std::size_t>> partition_files_by_size(const std::vector<std::filesystem::path>& files,
                                                              std::size_t buckets);

}  // namespace qm::claude
