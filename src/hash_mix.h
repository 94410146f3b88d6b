#pragma once
// The splitmix64 finaliser: spreads every bit of a 64-bit value over the whole result, for
// keys built from several fields.
#include <cstdint>

namespace qm::hash_mix {

constexpr std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// `value` folded into the running key `h`.
constexpr std::uint64_t combine(std::uint64_t h, std::uint64_t value) { return mix(h ^ (value + 0x9e3779b97f4a7c15ULL)); }

}  // namespace qm::hash_mix
