#include "reader/seen.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace qm::reader {
namespace {

constexpr std::uint64_t kTagMask = 0xFFFF'FFFF'0000'0000;
std::uint64_t tag_of(std::uint64_t hash) { return hash & kTagMask; }
std::size_t key_of(std::uint64_t slot) { return static_cast<std::size_t>((slot & ~kTagMask) - 1); }

}  // namespace

std::uint64_t SeenKeys::hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

SeenKeys::Met SeenKeys::meet(std::string_view key, std::uint64_t hash) {
  if (4 * (keys_.size() + 1) > 3 * slots_.size()) grow();  // at most three quarters full
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    if (tag_of(slots_[i]) != tag_of(hash)) continue;
    const Key& k = keys_[key_of(slots_[i])];
    if (k.size == key.size() && std::memcmp(bytes_.data() + k.offset, key.data(), key.size()) == 0)
      return Met{key_of(slots_[i]), false};
  }
  keys_.push_back(Key{bytes_.size(), key.size(), hash});
  bytes_.append(key);
  slots_[i] = tag_of(hash) | keys_.size();
  return Met{keys_.size() - 1, true};
}

void SeenKeys::clear() {
  slots_.clear();
  keys_.clear();
  bytes_.clear();
}

void SeenKeys::truncate(std::size_t size) {
  if (size >= keys_.size()) return;
  bytes_.resize(keys_[size].offset);
  keys_.resize(size);
  std::fill(slots_.begin(), slots_.end(), 0);
  place_keys();
}

void SeenKeys::grow() {
  slots_.assign(slots_.empty() ? 1024 : 2 * slots_.size(), 0);
  place_keys();
}

void SeenKeys::place_keys() {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    const std::uint64_t h = keys_[k].hash;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = tag_of(h) | (k + 1);
  }
}

}  // namespace qm::reader
