#include "reader/seen.h"

#include <cstring>
#include <functional>

namespace qm::reader {

std::uint64_t SeenKeys::hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

bool SeenKeys::first(std::string_view key, std::uint64_t hash) {
  if (2 * (count_ + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; slots_[i].offset != kEmpty; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.hash == hash && s.size == key.size() && std::memcmp(bytes_.data() + s.offset, key.data(), key.size()) == 0)
      return false;
  }
  slots_[i] = Slot{hash, bytes_.size(), key.size()};
  bytes_.append(key);
  ++count_;
  return true;
}

void SeenKeys::clear() {
  slots_.clear();
  count_ = 0;
  bytes_.clear();
}

void SeenKeys::grow() {
  std::vector<Slot> old(slots_.empty() ? 1024 : 2 * slots_.size());
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.offset == kEmpty) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].offset != kEmpty) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace qm::reader
