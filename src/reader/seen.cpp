#include "reader/seen.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "hash_mix.h"

namespace qm::reader {
namespace {

constexpr std::uint64_t kTagMask = 0xFFFF'FFFF'0000'0000;
std::uint64_t tag_of(std::uint64_t hash) { return hash & kTagMask; }
std::size_t key_of(std::uint64_t slot) { return static_cast<std::size_t>((slot & ~kTagMask) - 1); }

// Whether a1 a2 and b1 b2, joined, are the same bytes.
bool same_joined(std::string_view a1, std::string_view a2, std::string_view b1, std::string_view b2) {
  if (a1.size() + a2.size() != b1.size() + b2.size()) return false;
  if (a1.size() > b1.size()) {
    std::swap(a1, b1);
    std::swap(a2, b2);
  }
  // a1 is the shorter beginning: b1 is a1, then the start of a2.
  const std::size_t split = b1.size() - a1.size();
  return b1.substr(0, a1.size()) == a1 && b1.substr(a1.size()) == a2.substr(0, split) && a2.substr(split) == b2;
}

// A word folded into the state, as a 64-bit multiplicative hash does it.
std::uint64_t fold(std::uint64_t state, std::uint64_t word) {
  constexpr std::uint64_t kMul = 0xC6A4A7935BD1E995ULL;
  word *= kMul;
  word ^= word >> 47;
  word *= kMul;
  return (state ^ word) * kMul;
}

}  // namespace

KeyHasher& KeyHasher::add(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  // Words are cut at the same offsets of the whole key, whatever its parts, and read in one
  // byte order however they are read.
  std::size_t at = size_ % 8;
  size_ += n;
  for (; at != 0 && n != 0; ++p, --n) {
    pending_ |= std::uint64_t{*p} << (8 * at);
    if (++at == 8) {
      state_ = fold(state_, pending_);
      pending_ = 0;
      at = 0;
    }
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    state_ = fold(state_, word);
  }
  for (std::size_t i = 0; i < n; ++i) pending_ |= std::uint64_t{p[i]} << (8 * i);
  return *this;
}

std::uint64_t KeyHasher::done() const {
  return hash_mix::mix((size_ % 8 != 0 ? fold(state_, pending_) : state_) ^ size_);
}

SeenKeys::Stored SeenKeys::stored(const Key& k) const {
  const char* at = byte_blocks_[k.block].data() + k.offset;
  Header header;
  std::memcpy(&header, at, sizeof header);
  const std::string_view prefix = header.prefix == kNoPrefix ? std::string_view() : prefixes_[header.prefix];
  return {prefix, std::string_view(at + sizeof header, header.size)};
}

SeenKeys::Met SeenKeys::meet(std::string_view prefix, std::string_view rest, std::uint64_t hash) {
  if (4 * (count_ + 1) > 3 * slots_.size()) grow();  // at most three quarters full
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    if (tag_of(slots_[i]) != tag_of(hash)) continue;
    const Stored met = stored(entry(key_of(slots_[i])));
    if (same_joined(met.prefix, met.rest, prefix, rest)) return Met{key_of(slots_[i]), false};
  }
  store(prefix.empty() ? kNoPrefix : prefix_number(prefix), rest, hash);
  slots_[i] = tag_of(hash) | count_;
  return Met{count_ - 1, true};
}

std::string_view SeenKeys::key(std::size_t number) const {
  const Stored met = stored(entry(number));
  assert(met.prefix.empty());
  return met.rest;
}

std::uint32_t SeenKeys::prefix_number(std::string_view prefix) {
  // A reader offers one prefix a database: the last one is nearly always the one.
  for (std::size_t p = prefixes_.size(); p-- > 0;)
    if (prefixes_[p] == prefix) return static_cast<std::uint32_t>(p);
  prefixes_.emplace_back(prefix);
  return static_cast<std::uint32_t>(prefixes_.size() - 1);
}

void SeenKeys::store(std::uint32_t prefix, std::string_view rest, std::uint64_t hash) {
  const std::size_t need = sizeof(Header) + rest.size();
  if (byte_blocks_.empty() || byte_blocks_.back().capacity() - byte_blocks_.back().size() < need) {
    byte_blocks_.emplace_back().reserve(std::max(kBlockBytes, need));
  }
  std::string& bytes = byte_blocks_.back();  // appended within its capacity: earlier keys stay put
  const Header header{static_cast<std::uint32_t>(rest.size()), prefix};
  const Key k{hash, static_cast<std::uint32_t>(byte_blocks_.size() - 1), static_cast<std::uint32_t>(bytes.size())};
  bytes.append(reinterpret_cast<const char*>(&header), sizeof header);
  bytes.append(rest);
  if (count_ % kKeysPerBlock == 0) key_blocks_.emplace_back().reserve(kKeysPerBlock);
  key_blocks_.back().push_back(k);
  ++count_;
}

void SeenKeys::clear() {
  slots_.clear();
  key_blocks_.clear();
  byte_blocks_.clear();
  prefixes_.clear();
  count_ = 0;
}

void SeenKeys::truncate(std::size_t size) {
  if (size >= count_) return;
  const Key& k = entry(size);  // the first key dropped, where the bytes to drop begin
  byte_blocks_[k.block].resize(k.offset);
  byte_blocks_.resize(k.block + 1);
  count_ = size;
  key_blocks_.resize((size + kKeysPerBlock - 1) / kKeysPerBlock);
  if (!key_blocks_.empty()) key_blocks_.back().resize(size - (key_blocks_.size() - 1) * kKeysPerBlock);
  std::fill(slots_.begin(), slots_.end(), 0);
  place_keys();
}

void SeenKeys::reserve(std::size_t more) {
  std::size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
  while (4 * (count_ + more) > 3 * slots) slots *= 2;  // as meet() keeps it
  if (slots == slots_.size()) return;
  slots_.assign(slots, 0);
  place_keys();
}

void SeenKeys::grow() {
  slots_.assign(slots_.empty() ? kFirstSlots : 2 * slots_.size(), 0);
  place_keys();
}

void SeenKeys::place_keys() {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < count_; ++k) {
    const std::uint64_t h = entry(k).hash;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = tag_of(h) | (k + 1);
  }
}

}  // namespace qm::reader
