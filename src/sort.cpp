#include "sort.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qm::sort {

int total_order_compare(double a, double b) {
  auto key = [](double x) {
    std::int64_t i = std::bit_cast<std::int64_t>(x);
    // Flip the magnitude bits of negative values so that integer order equals totalOrder.
    return i ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(i >> 63) >> 1);
  };
  auto ka = key(a), kb = key(b);
  return ka < kb ? -1 : ka > kb ? 1 : 0;
}

bool agent_id_less(std::string_view a, std::string_view b) { return a < b; }

bool row_less(const UsageRow& a, const UsageRow& b) {
  if (a.label != b.label) return a.label < b.label;
  return a.agent_id < b.agent_id;
}

bool path_file_name_less(const std::filesystem::path& a, const std::filesystem::path& b) {
  bool ha = a.has_filename(), hb = b.has_filename();
  if (ha != hb) return !ha;
  return a.filename().native() < b.filename().native();
}

void sort_model_usages(std::vector<ModelUsage>& usages) {
  std::stable_sort(usages.begin(), usages.end(),
                   [](const ModelUsage& a, const ModelUsage& b) { return total_less(b.cost, a.cost); });
}

}  // namespace qm::sort
