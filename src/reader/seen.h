#pragma once
// The keys a reader has met (message ids, session ids), to keep the first record of each.
// An open-addressing table of 8-byte slots (a piece of the hash and the key's number) over
// blocks of key bytes and of key entries: no allocation per key, nothing copied as the keys
// grow, and a table small enough to stay cached. Keys that begin alike (a database's path,
// say) can be offered as that beginning and the rest: the beginning is kept once.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::reader {

// The hash of a key given in parts, one after another, the same however the key is cut:
// a reader whose keys begin alike hashes the beginning once and goes on from a copy.
class KeyHasher {
 public:
  KeyHasher& add(std::string_view bytes);
  std::uint64_t done() const;

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1DULL;
  std::uint64_t size_ = 0;     // bytes added
  std::uint64_t pending_ = 0;  // the size_ % 8 bytes of the unfinished word, the first lowest
};

class SeenKeys {
 public:
  // True the first time a key is offered; it is remembered from then on.
  bool first(std::string_view key) { return first(key, hash(key)); }
  // The same with the key's hash made beforehand (on a worker thread, say).
  bool first(std::string_view key, std::uint64_t hash) { return meet({}, key, hash).first; }
  // The key `prefix` followed by `rest`, the same key as the two joined, `hash` the joined
  // key's hash.
  bool first(std::string_view prefix, std::string_view rest, std::uint64_t hash) {
    return meet(prefix, rest, hash).first;
  }
  // The key's number (keys are numbered from 0 in the order first offered), and whether this
  // is the first time: for a reader that keeps something per key.
  struct Met {
    std::size_t number;
    bool first;
  };
  Met meet(std::string_view key) { return meet({}, key, hash(key)); }
  Met meet(std::string_view key, std::uint64_t hash) { return meet({}, key, hash); }
  Met meet(std::string_view prefix, std::string_view rest, std::uint64_t hash);
  // The key of a number meet() gave, for keys offered whole (a split key has no one view).
  std::string_view key(std::size_t number) const;
  // KeyHasher's hash of the whole key.
  static std::uint64_t hash(std::string_view key) { return KeyHasher().add(key).done(); }
  // Asks for the memory that first(key, hash) will read: a consumer that knows its next
  // keys calls this some keys ahead, so that the lookups do not wait one after another.
  void prefetch(std::uint64_t hash) const {
    if (slots_.empty()) return;
    const std::uint64_t* slot = slots_.data() + (hash & (slots_.size() - 1));
    __builtin_prefetch(slot);
    // The compiler takes a function that only prefetches for one without effects, and drops
    // calls to it: this says it has one.
    asm volatile("" : : "r"(slot));
  }
  // Room for `more` keys beyond those met, made at once: a reader that knows how many it
  // will offer spares the table its growing, each step of which places every key again.
  void reserve(std::size_t more);
  void clear();
  // The number of keys met, and going back to the first `size` of them (a database read
  // again, say).
  std::size_t size() const { return count_; }
  void truncate(std::size_t size);

 private:
  struct Key {
    std::uint64_t hash;
    std::uint32_t block, offset;  // where its header and then its bytes lie
  };
  // Before a key's bytes: their size and the number of its prefix (kNoPrefix for none).
  struct Header {
    std::uint32_t size, prefix;
  };
  static constexpr std::uint32_t kNoPrefix = UINT32_MAX;
  struct Stored {
    std::string_view prefix, rest;
  };
  const Key& entry(std::size_t k) const { return key_blocks_[k / kKeysPerBlock][k % kKeysPerBlock]; }
  Stored stored(const Key& k) const;
  std::uint32_t prefix_number(std::string_view prefix);
  void store(std::uint32_t prefix, std::string_view rest, std::uint64_t hash);
  void grow();
  void place_keys();  // in slots_, all empty

  static constexpr std::size_t kFirstSlots = 1024;
  static constexpr std::size_t kKeysPerBlock = 1 << 14;
  static constexpr std::size_t kBlockBytes = 1 << 20;

  std::vector<std::uint64_t> slots_;  // 0, or hash's high half and key number + 1; a power of two
  std::vector<std::vector<Key>> key_blocks_;  // kKeysPerBlock keys each, the last one filling
  std::vector<std::string> byte_blocks_;  // each filled up to its capacity, never beyond
  std::vector<std::string> prefixes_;     // never dropped: a truncated key's prefix may come again
  std::size_t count_ = 0;
};

}  // namespace qm::reader
