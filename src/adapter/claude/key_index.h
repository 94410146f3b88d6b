#pragma once
// A hash index from 64-bit keys to small lists of positions, for de-duplication: most keys
// hold one position, stored in the slot itself.
#include <cstdint>
#include <vector>

namespace qm::claude {

class KeyIndex {
 public:
  // Calls pred(position) for the key's positions in filing order; the first for which it
  // is true, or kNone.
  template <typename Pred>
  std::uint32_t find_first(std::uint64_t key, Pred&& pred) const {
    if (slots_.empty()) return kNone;
    const Slot& s = slots_[find_slot(key)];
    if (s.first == kNone) return kNone;
    if (pred(s.first)) return s.first;
    if (s.more == 0) return kNone;
    for (std::uint32_t p : extra_[s.more - 1])
      if (pred(p)) return p;
    return kNone;
  }

  // Files the position under the key, unless it is filed there already.
  void file(std::uint64_t key, std::uint32_t position);
  // Room for that many keys in all, so that filing them never grows the table.
  void reserve(std::size_t keys);

  static constexpr std::uint32_t kNone = UINT32_MAX;

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t first = kNone;  // kNone: the slot is free
    std::uint32_t more = 0;       // 1 + index into extra_, 0 when there is none
  };
  std::size_t find_slot(std::uint64_t key) const;  // the key's slot, or the free slot it would take
  void grow();
  void resize(std::size_t slots);

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  std::vector<std::vector<std::uint32_t>> extra_;
  std::size_t used_ = 0;
};

}  // namespace qm::claude
