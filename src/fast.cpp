#include "fast.h"

#include <cstdint>
#include <cstring>

namespace qm::fast {
namespace {

// Sixteen bytes at a time, with the compiler's portable vector types.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

Bytes16 load(const char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Bytes16 splat(char c) {
  Bytes16 v;
  for (int i = 0; i < 16; ++i) v[i] = static_cast<unsigned char>(c);
  return v;
}

// The mask as two words, a byte of 0xFF for each lane that is set.
struct Mask {
  std::uint64_t lo, hi;
  explicit Mask(Bytes16 m) {
    std::memcpy(&lo, &m, 8);
    std::memcpy(&hi, reinterpret_cast<const char*>(&m) + 8, 8);
  }
  bool any() const { return (lo | hi) != 0; }
  unsigned lowest() const { return lo ? __builtin_ctzll(lo) / 8 : 8 + __builtin_ctzll(hi) / 8; }
  unsigned highest() const { return hi ? 15 - __builtin_clzll(hi) / 8 : 7 - __builtin_clzll(lo) / 8; }
  void clear(unsigned lane) {
    if (lane < 8)
      lo &= ~(0xFFull << (8 * lane));
    else
      hi &= ~(0xFFull << (8 * (lane - 8)));
  }
};

}  // namespace

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from) {
  const std::size_t k = needle.size();
  if (from > text.size() || text.size() - from < k) return std::string_view::npos;
  if (k == 0) return from;
  const char* s = text.data();
  const std::size_t starts = text.size() - k + 1;  // candidate start positions are below this
  // Positions whose first and last bytes both match; the rest is compared only for those.
  const Bytes16 first = splat(needle.front()), last = splat(needle.back());
  std::size_t i = from;
  for (; i + 16 <= starts; i += 16) {
    Mask m(Bytes16((load(s + i) == first) & (load(s + i + k - 1) == last)));
    while (m.any()) {
      const unsigned lane = m.lowest();
      if (std::memcmp(s + i + lane, needle.data(), k) == 0) return i + lane;
      m.clear(lane);
    }
  }
  for (; i < starts; ++i)
    if (s[i] == needle.front() && std::memcmp(s + i, needle.data(), k) == 0) return i;
  return std::string_view::npos;
}

std::size_t find_last(std::string_view text, char c) {
  const char* s = text.data();
  std::size_t end = text.size();
  const Bytes16 want = splat(c);
  for (; end >= 16; end -= 16) {
    Mask m(Bytes16(load(s + end - 16) == want));
    if (m.any()) return end - 16 + m.highest();
  }
  while (end > 0)
    if (s[--end] == c) return end;
  return std::string_view::npos;
}

}  // namespace qm::fast
