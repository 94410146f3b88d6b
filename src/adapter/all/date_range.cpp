#include "adapter/all/loader.h"

namespace qm::all::loader {

bool in_date_range(const DateRange& range, std::string_view date) {
  // Compare without building a copy: the dashes are skipped on the fly.
  auto compare = [&](std::string_view bound) {
    std::size_t i = 0;
    for (char c : date) {
      if (c == '-') continue;
      if (i == bound.size()) return 1;
      if (c != bound[i]) return static_cast<unsigned char>(c) < static_cast<unsigned char>(bound[i]) ? -1 : 1;
      ++i;
    }
    return i == bound.size() ? 0 : -1;
  };
  if (range.since && compare(*range.since) < 0) return false;
  if (range.until && compare(*range.until) > 0) return false;
  return true;
}

bool row_in_date_range(const DateRange& range, const std::optional<std::string>& date) {
  return in_date_range(range, date ? std::string_view(*date) : std::string_view());
}

bool entry_in_date_range(const DateRange& range, const std::optional<std::string>& date) {
  return row_in_date_range(range, date);
}

}  // namespace qm::all::loader
