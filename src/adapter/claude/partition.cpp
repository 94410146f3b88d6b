#include "adapter/claude/partition.h"

#include "util.h"

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

std::vector<std::vector<std::size_t>> partition_files_by_size(const std::vector<std::filesystem::path>& files,
                                                              std::size_t n) {
  n = std::max<std::size_t>(n, 1);
  std::vector<std::vector<std::size_t>> buckets(n);
  std::vector<std::uint64_t> load(n, 0);
  for (const auto& [index, size] : sized_largest_first(files)) {
    std::size_t best = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
    buckets[best].push_back(index);
    load[best] = util::saturating_add(load[best], size);
  }
  std::erase_if(buckets, [](const auto& b) { return b.empty(); });
  return buckets;
}

}  // namespace qm::claude
