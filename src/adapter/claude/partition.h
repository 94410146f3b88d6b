#pragma once
#include <cstddef>
#include <filesystem>
#include <vector>

namespace qm::claude {

// The file indexes by size, largest first (equal sizes by index); a file whose size cannot
// be read counts 0.
std::vector<std::size_t> largest_files_first(const std::vector<std::filesystem::path>& files);

// Spreads files over `buckets` lists of file indexes: largest first, each to the least
// loaded bucket (by bytes). Empty buckets are dropped.
std::vector<std::vector<std::size_t>> partition_files_by_size(const std::vector<std::filesystem::path>& files,
                                                              std::size_t buckets);

}  // namespace qm::claude
