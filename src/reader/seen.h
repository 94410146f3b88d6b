#pragma once
// The keys a reader has met (message ids, session ids), to keep the first record of each.
// An open-addressing table of 8-byte slots (a piece of the hash and the key's number) over
// blocks of key bytes and of key entries: no allocation per key, nothing copied as the keys
// grow, and a table small enough to stay cached.
#include <cstdint>
#include <memory>
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
  // The number of keys met, and going back to the first `size` of them (a database read
  // again, say).
  std::size_t size() const { return count_; }
  void truncate(std::size_t size);

 private:
  struct Key {
    std::uint64_t hash;
    std::uint32_t block, offset;  // where its size (4 bytes) and then its bytes lie
  };
  const Key& key(std::size_t k) const { return key_blocks_[k / kKeysPerBlock][k % kKeysPerBlock]; }
  std::string_view bytes_of(const Key& k) const;
  void store(std::string_view key, std::uint64_t hash);
  void grow();
  void place_keys();  // in slots_, all empty

  static constexpr std::size_t kKeysPerBlock = 1 << 14;
  static constexpr std::size_t kBlockBytes = 1 << 20;

  std::vector<std::uint64_t> slots_;  // 0, or hash's high half and key number + 1; a power of two
  std::vector<std::unique_ptr<Key[]>> key_blocks_;
  std::vector<std::string> byte_blocks_;  // each filled up to its capacity, never beyond
  std::size_t count_ = 0;
};

}  // namespace qm::reader
