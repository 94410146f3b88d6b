#include "adapter/claude/key_index.h"

#include <algorithm>
#include <bit>

namespace qm::claude {

std::size_t KeyIndex::find_slot(std::uint64_t key) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(key) & mask;; i = (i + 1) & mask)
    if (slots_[i].first == kNone || slots_[i].key == key) return i;
}

void KeyIndex::grow() { resize(std::max<std::size_t>(64, slots_.size() * 2)); }

void KeyIndex::resize(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  for (const Slot& s : old)
    if (s.first != kNone) slots_[find_slot(s.key)] = s;
}

void KeyIndex::reserve(std::size_t keys) {
  const std::size_t slots = std::bit_ceil(std::max<std::size_t>(64, 2 * keys));
  if (slots > slots_.size()) resize(slots);
}

void KeyIndex::file(std::uint64_t key, std::uint32_t position) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  Slot& s = slots_[find_slot(key)];
  if (s.first == kNone) {
    s.key = key;
    s.first = position;
    ++used_;
    return;
  }
  if (s.first == position) return;
  if (s.more == 0) {
    extra_.emplace_back();
    s.more = static_cast<std::uint32_t>(extra_.size());
  }
  auto& list = extra_[s.more - 1];
  if (std::find(list.begin(), list.end(), position) == list.end()) list.push_back(position);
}

}  // namespace qm::claude
