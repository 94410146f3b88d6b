#pragma once
// The keys a reader has met (message ids, session ids), to keep the first record of each.
// An open-addressing table of hashes over one buffer of key bytes: no allocation per key.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::reader {

class SeenKeys {
 public:
  // True the first time a key is offered; it is remembered from then on.
  bool first(std::string_view key) { return first(key, hash(key)); }
  // The same with the key's hash made beforehand (on a worker thread, say).
  bool first(std::string_view key, std::uint64_t hash);
  static std::uint64_t hash(std::string_view key);
  // Asks for the memory that first(key, hash) will read: a consumer that knows its next
  // keys calls this some keys ahead, so that the lookups do not wait one after another.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }
  void clear();

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t offset = kEmpty;  // into bytes_
    std::uint64_t size = 0;
  };
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  void grow();

  std::vector<Slot> slots_;  // a power of two, at most half full
  std::size_t count_ = 0;
  std::string bytes_;
};

}  // namespace qm::reader
