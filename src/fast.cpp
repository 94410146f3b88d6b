#include "fast.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::fast {
namespace {

#if defined(__SSE2__)

// Sixteen bytes at a time; a comparison gives one bit per byte.
using Vec = __m128i;
constexpr std::size_t kWidth = 16;

Vec load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const Vec*>(p)); }
Vec splat(char c) { return _mm_set1_epi8(c); }
Vec equal(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
Vec both(Vec a, Vec b) { return _mm_and_si128(a, b); }
Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
std::uint32_t bits(Vec v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }

// Adds the bytes that are set (0xFF) in `hits` to the byte lanes of `acc`; a lane holds up
// to 255, and `lane_total` adds the lanes up.
Vec count_into(Vec acc, Vec hits) { return _mm_sub_epi8(acc, hits); }
std::size_t lane_total(Vec acc) {
  const Vec sums = _mm_sad_epu8(acc, _mm_setzero_si128());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
}
Vec zero() { return _mm_setzero_si128(); }

#else

// The same with the compiler's portable vector types.
typedef unsigned char Vec __attribute__((vector_size(16)));
constexpr std::size_t kWidth = 16;

Vec load(const char* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
Vec splat(char c) {
  Vec v;
  for (std::size_t i = 0; i < kWidth; ++i) v[i] = static_cast<unsigned char>(c);
  return v;
}
Vec equal(Vec a, Vec b) { return Vec(a == b); }
Vec both(Vec a, Vec b) { return a & b; }
Vec either(Vec a, Vec b) { return a | b; }
std::uint32_t bits(Vec v) {
  std::uint32_t m = 0;
  for (std::size_t i = 0; i < kWidth; ++i) m |= static_cast<std::uint32_t>(v[i] & 1) << i;
  return m;
}
Vec count_into(Vec acc, Vec hits) { return acc - hits; }
std::size_t lane_total(Vec acc) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < kWidth; ++i) n += acc[i];
  return n;
}
Vec zero() { return Vec{}; }

#endif

}  // namespace

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from) {
  const std::size_t k = needle.size();
  if (from > text.size() || text.size() - from < k) return std::string_view::npos;
  if (k == 0) return from;
  const char* s = text.data();
  const std::size_t starts = text.size() - k + 1;  // candidate start positions are below this
  // Positions whose first and last bytes both match; the rest is compared only for those.
  const Vec first = splat(needle.front()), last = splat(needle.back());
  std::size_t i = from;
  for (; i + 2 * kWidth <= starts; i += 2 * kWidth) {
    std::uint32_t m = bits(both(equal(load(s + i), first), equal(load(s + i + k - 1), last))) |
                      bits(both(equal(load(s + i + kWidth), first), equal(load(s + i + kWidth + k - 1), last)))
                          << kWidth;
    for (; m != 0; m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (std::memcmp(s + at, needle.data(), k) == 0) return at;
    }
  }
  for (; i < starts; ++i)
    if (s[i] == needle.front() && std::memcmp(s + i, needle.data(), k) == 0) return i;
  return std::string_view::npos;
}

std::size_t find_last(std::string_view text, char c) {
  const char* s = text.data();
  std::size_t end = text.size();
  const Vec want = splat(c);
  for (; end >= kWidth; end -= kWidth) {
    const std::uint32_t m = bits(equal(load(s + end - kWidth), want));
    if (m != 0) return end - kWidth + static_cast<std::size_t>(31 - __builtin_clz(m));
  }
  while (end > 0)
    if (s[--end] == c) return end;
  return std::string_view::npos;
}

std::size_t count_either(std::string_view text, char a, char b) {
  const char* s = text.data();
  const std::size_t n = text.size();
  const Vec va = splat(a), vb = splat(b);
  std::size_t total = 0, i = 0;
  while (i + kWidth <= n) {
    // At most 255 steps before the byte lanes are added up.
    const std::size_t stop = n - i > 255 * kWidth ? i + 255 * kWidth : n;
    Vec acc = zero();
    for (; i + kWidth <= stop; i += kWidth) {
      const Vec v = load(s + i);
      acc = count_into(acc, either(equal(v, va), equal(v, vb)));
    }
    total += lane_total(acc);
  }
  for (; i < n; ++i) total += s[i] == a || s[i] == b;
  return total;
}

}  // namespace qm::fast
