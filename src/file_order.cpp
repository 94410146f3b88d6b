#include "file_order.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace qm::file_order {

std::vector<std::size_t> largest_files_first(const std::vector<std::filesystem::path>& files) {
  std::vector<std::pair<std::size_t, std::uint64_t>> sized;
  sized.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat st;
    sized.emplace_back(i, ::stat(files[i].c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0);
  }
  std::stable_sort(sized.begin(), sized.end(), [](const auto& a, const auto& b) {
    if (a.second != b.second) return a.second > b.second;
    return a.first < b.first;
  });
  std::vector<std::size_t> order;
  order.reserve(files.size());
  for (const auto& [index, size] : sized) order.push_back(index);
  return order;
}

}  // namespace qm::file_order
