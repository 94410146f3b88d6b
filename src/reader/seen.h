#pragma once
// The keys a reader has met (message ids, session ids), to keep the first record of each.
// An open-addressing table of 8-byte slots (a piece of the hash and the key's number) over
// one buffer of key bytes: no allocation per key, and a table small enough to stay cached.
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
  bool first(std::string_view key, std::uint64_t hash) { return meet(key, hash).first; }
  // The key's number (keys are numbered from 0 in the order first offered), and whether this
  // is the first time: for a reader that keeps something per key.
  struct Met {
    std::size_t number;
    bool first;
  };
  Met meet(std::string_view key) { return meet(key, hash(key)); }
  Met meet(std::string_view key, std::uint64_t hash);
  // The key of a number meet() gave.
  std::string_view key(std::size_t number) const {
    return std::string_view(bytes_).substr(keys_[number].offset, keys_[number].size);
  }
  static std::uint64_t hash(std::string_view key);
  // Asks for the memory that first(key, hash) will read: a consumer that knows its next
  // keys calls this some keys ahead, so that the lookups do not wait one after another.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }
  void clear();
  // The number of keys met, and going back to the first `size` of them (a database read
  // again, say).
  std::size_t size() const { return keys_.size(); }
  void truncate(std::size_t size);

 private:
  struct Key {
    std::uint64_t offset, size;  // in bytes_
    std::uint64_t hash;
  };
  void grow();
  void place_keys();  // in slots_, all empty

  std::vector<std::uint64_t> slots_;  // 0, or hash's high half and key number + 1; a power of two
  std::vector<Key> keys_;
  std::string bytes_;
};

}  // namespace qm::reader
