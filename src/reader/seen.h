#pragma once
// The keys a reader has met (message ids, session ids), to keep the first record of each.
// Keys are copied into large blocks, not one allocation each.
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qm::reader {

class SeenKeys {
 public:
  // True the first time a key is offered; it is remembered from then on.
  bool first(std::string_view key);
  void clear();

 private:
  std::string_view keep(std::string_view key);

  std::unordered_set<std::string_view> keys_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0, size_ = 0;  // of the last block
};

}  // namespace qm::reader
