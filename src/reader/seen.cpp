#include "reader/seen.h"

#include <algorithm>
#include <cstring>

namespace qm::reader {
namespace {
constexpr std::size_t kBlockSize = 1 << 16;
}

bool SeenKeys::first(std::string_view key) {
  if (keys_.contains(key)) return false;
  keys_.insert(keep(key));
  return true;
}

void SeenKeys::clear() {
  keys_.clear();
  blocks_.clear();
  used_ = size_ = 0;
}

std::string_view SeenKeys::keep(std::string_view key) {
  if (key.empty()) return {};
  if (key.size() > size_ - used_) {
    size_ = std::max(kBlockSize, key.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size_));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  std::memcpy(at, key.data(), key.size());
  used_ += key.size();
  return std::string_view(at, key.size());
}

}  // namespace qm::reader
