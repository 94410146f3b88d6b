#include "adapter/claude/partition.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace qm::claude {

namespace {

std::vector<std::pair<std::size_t, std::uint64_t>> sized_largest_first(const std::vector<std::filesystem::path>& files) {
  std::vector<std::pair<std::size_t, std::uint64_t>> sized;
  sized.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat st;
    std::uint64_t size = ::stat(files[i].c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    sized.emplace_back(i, size);
  }
  std::stable_sort(sized.begin(), sized.end(), [](const auto& a, const auto& b) {
    if (a.second != b.second) return a.second > b.second;
    return a.first < b.first;
  });
  return sized;
}

}  // namespace

std::vector<std::size_t> largest_files_first(const std::vector<std::filesystem::path>& files) {
  std::vector<std::size_t> order;
  order.reserve(files.size());
  for (const auto& [index, size] : sized_largest_first(files)) order.push_back(index);
  return order;
}

}  // namespace qm::claude
