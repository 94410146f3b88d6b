#include "fast.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qm::fast {
namespace {

#if defined(__x86_64__)

// Sixteen bytes at a time: every x86-64 processor has these.
namespace sse2 {
#define QM_VECTOR_TARGET
using Vec = __m128i;
constexpr std::size_t kWidth = 16;
inline Vec load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const Vec*>(p)); }
inline Vec splat(char c) { return _mm_set1_epi8(c); }
inline Vec equal(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
inline Vec both(Vec a, Vec b) { return _mm_and_si128(a, b); }
inline Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
inline std::uint32_t bits(Vec v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }
inline Vec zero() { return _mm_setzero_si128(); }
inline Vec count_into(Vec acc, Vec hits) { return _mm_sub_epi8(acc, hits); }
inline std::size_t lane_total(Vec acc) {
  const Vec sums = _mm_sad_epu8(acc, zero());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
}
#include "fast_kernels.inc"
#undef QM_VECTOR_TARGET
}  // namespace sse2

// Thirty-two bytes at a time, where the processor has them.
namespace avx2 {
#define QM_VECTOR_TARGET __attribute__((target("avx2")))
using Vec = __m256i;
constexpr std::size_t kWidth = 32;
QM_VECTOR_TARGET inline Vec load(const char* p) { return _mm256_loadu_si256(reinterpret_cast<const Vec*>(p)); }
QM_VECTOR_TARGET inline Vec splat(char c) { return _mm256_set1_epi8(c); }
QM_VECTOR_TARGET inline Vec equal(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
QM_VECTOR_TARGET inline Vec both(Vec a, Vec b) { return _mm256_and_si256(a, b); }
QM_VECTOR_TARGET inline Vec either(Vec a, Vec b) { return _mm256_or_si256(a, b); }
QM_VECTOR_TARGET inline std::uint32_t bits(Vec v) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
QM_VECTOR_TARGET inline Vec zero() { return _mm256_setzero_si256(); }
QM_VECTOR_TARGET inline Vec count_into(Vec acc, Vec hits) { return _mm256_sub_epi8(acc, hits); }
QM_VECTOR_TARGET inline std::size_t lane_total(Vec acc) {
  const Vec sums = _mm256_sad_epu8(acc, zero());
  return static_cast<std::size_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                                  _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
}
#include "fast_kernels.inc"
#undef QM_VECTOR_TARGET
}  // namespace avx2

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

#else

// Elsewhere the compiler's portable vector types.
namespace portable {
#define QM_VECTOR_TARGET
typedef unsigned char Vec __attribute__((vector_size(16)));
constexpr std::size_t kWidth = 16;
inline Vec load(const char* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline Vec splat(char c) {
  Vec v;
  for (std::size_t i = 0; i < kWidth; ++i) v[i] = static_cast<unsigned char>(c);
  return v;
}
inline Vec equal(Vec a, Vec b) { return Vec(a == b); }
inline Vec both(Vec a, Vec b) { return a & b; }
inline Vec either(Vec a, Vec b) { return a | b; }
inline std::uint32_t bits(Vec v) {
  std::uint32_t m = 0;
  for (std::size_t i = 0; i < kWidth; ++i) m |= static_cast<std::uint32_t>(v[i] & 1) << i;
  return m;
}
inline Vec zero() { return Vec{}; }
inline Vec count_into(Vec acc, Vec hits) { return acc - hits; }
inline std::size_t lane_total(Vec acc) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < kWidth; ++i) n += acc[i];
  return n;
}
#include "fast_kernels.inc"
#undef QM_VECTOR_TARGET
}  // namespace portable

#endif

struct Scans {
  std::size_t (*find_all)(const char* s, std::size_t size, const char* needle, std::size_t k, std::size_t from,
                          std::size_t* out, std::size_t capacity);
  std::size_t (*find_last)(const char* s, std::size_t size, char c);
  std::size_t (*count_either)(const char* s, std::size_t size, char a, char b);
  std::size_t (*find_name_escape)(const char* s, std::size_t size, std::size_t from);
};

#if defined(__x86_64__)
constexpr Scans kNarrowest{sse2::find_all, sse2::find_last, sse2::count_either, sse2::find_name_escape};
const Scans& widest() {
  static constexpr Scans kAvx2{avx2::find_all, avx2::find_last, avx2::count_either, avx2::find_name_escape};
  static const Scans& chosen = has_avx2() ? kAvx2 : kNarrowest;
  return chosen;
}
#else
constexpr Scans kNarrowest{portable::find_all, portable::find_last, portable::count_either, portable::find_name_escape};
const Scans& widest() { return kNarrowest; }
#endif

std::size_t find_all_with(const Scans& scans, std::string_view text, std::string_view needle, std::size_t from,
                          std::span<std::size_t> out) {
  if (out.empty() || from > text.size() || text.size() - from < needle.size()) return 0;
  if (needle.empty()) {
    out[0] = from;
    return 1;
  }
  return scans.find_all(text.data(), text.size(), needle.data(), needle.size(), from, out.data(), out.size());
}

std::size_t find_text_with(const Scans& scans, std::string_view text, std::string_view needle, std::size_t from) {
  std::size_t at;
  return find_all_with(scans, text, needle, from, std::span(&at, 1)) == 1 ? at : std::string_view::npos;
}

}  // namespace

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from) {
  return find_text_with(widest(), text, needle, from);
}
std::size_t find_all(std::string_view text, std::string_view needle, std::size_t from, std::span<std::size_t> out) {
  return find_all_with(widest(), text, needle, from, out);
}
std::size_t find_last(std::string_view text, char c) { return widest().find_last(text.data(), text.size(), c); }
std::size_t count_either(std::string_view text, char a, char b) {
  return widest().count_either(text.data(), text.size(), a, b);
}
std::size_t find_name_escape(std::string_view text, std::size_t from) {
  return widest().find_name_escape(text.data(), text.size(), from);
}

namespace narrow {
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from) {
  return find_text_with(kNarrowest, text, needle, from);
}
std::size_t find_all(std::string_view text, std::string_view needle, std::size_t from, std::span<std::size_t> out) {
  return find_all_with(kNarrowest, text, needle, from, out);
}
std::size_t find_last(std::string_view text, char c) { return kNarrowest.find_last(text.data(), text.size(), c); }
std::size_t count_either(std::string_view text, char a, char b) {
  return kNarrowest.count_either(text.data(), text.size(), a, b);
}
std::size_t find_name_escape(std::string_view text, std::size_t from) {
  return kNarrowest.find_name_escape(text.data(), text.size(), from);
}
}  // namespace narrow

}  // namespace qm::fast
