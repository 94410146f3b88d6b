#pragma once
// The order in which to hand files to workers: the largest first, so that the last to finish
// is a small one.
#include <cstddef>
#include <filesystem>
#include <vector>

namespace qm::file_order {

// The file indexes by size, largest first (equal sizes by index); a file whose size cannot
// be read counts 0.
std::vector<std::size_t> largest_files_first(const std::vector<std::filesystem::path>& files);

}  // namespace qm::file_order
