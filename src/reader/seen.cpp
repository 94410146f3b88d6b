#include "reader/seen.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace qm::reader {
namespace {

constexpr std::uint64_t kTagMask = 0xFFFF'FFFF'0000'0000;
constexpr std::size_t kSizeBytes = sizeof(std::uint32_t);
std::uint64_t tag_of(std::uint64_t hash) { return hash & kTagMask; }
std::size_t key_of(std::uint64_t slot) { return static_cast<std::size_t>((slot & ~kTagMask) - 1); }

}  // namespace

std::uint64_t SeenKeys::hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

std::string_view SeenKeys::bytes_of(const Key& k) const {
  const char* at = byte_blocks_[k.block].data() + k.offset;
  std::uint32_t size;
  std::memcpy(&size, at, kSizeBytes);
  return std::string_view(at + kSizeBytes, size);
}

bool SeenKeys::first(std::string_view key, std::uint64_t hash) {
  if (4 * (count_ + 1) > 3 * slots_.size()) grow();  // at most three quarters full
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    if (tag_of(slots_[i]) != tag_of(hash)) continue;
    const std::string_view met = bytes_of(this->key(key_of(slots_[i])));
    if (met.size() == key.size() && std::memcmp(met.data(), key.data(), key.size()) == 0) return false;
  }
  store(key, hash);
  slots_[i] = tag_of(hash) | count_;
  return true;
}

void SeenKeys::store(std::string_view key, std::uint64_t hash) {
  const std::size_t need = kSizeBytes + key.size();
  if (byte_blocks_.empty() || byte_blocks_.back().capacity() - byte_blocks_.back().size() < need) {
    byte_blocks_.emplace_back().reserve(std::max(kBlockBytes, need));
  }
  std::string& bytes = byte_blocks_.back();  // appended within its capacity: earlier keys stay put
  const auto size = static_cast<std::uint32_t>(key.size());
  const Key k{hash, static_cast<std::uint32_t>(byte_blocks_.size() - 1), static_cast<std::uint32_t>(bytes.size())};
  bytes.append(reinterpret_cast<const char*>(&size), kSizeBytes);
  bytes.append(key);
  if (count_ % kKeysPerBlock == 0) key_blocks_.push_back(std::make_unique<Key[]>(kKeysPerBlock));
  key_blocks_.back()[count_ % kKeysPerBlock] = k;
  ++count_;
}

void SeenKeys::clear() {
  slots_.clear();
  key_blocks_.clear();
  byte_blocks_.clear();
  count_ = 0;
}

void SeenKeys::truncate(std::size_t size) {
  if (size >= count_) return;
  const Key& k = key(size);  // the first key dropped, where the bytes to drop begin
  byte_blocks_[k.block].resize(k.offset);
  byte_blocks_.resize(k.block + 1);
  count_ = size;
  key_blocks_.resize((size + kKeysPerBlock - 1) / kKeysPerBlock);
  std::fill(slots_.begin(), slots_.end(), 0);
  place_keys();
}

void SeenKeys::grow() {
  slots_.assign(slots_.empty() ? 1024 : 2 * slots_.size(), 0);
  place_keys();
}

void SeenKeys::place_keys() {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < count_; ++k) {
    const std::uint64_t h = key(k).hash;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = tag_of(h) | (k + 1);
  }
}

}  // namespace qm::reader
