#pragma once
// What a reader keeps of the usages of one file until it prices them: counts, an instant and
// the model as a number of the file's names. No texts are copied per usage that the report
// does not need.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "adapter/all/types.h"
#include "reader/counts.h"
#include "reader/usage_list.h"

namespace qm::reader {

// The names a file's usages carry (models, mostly), each kept once and numbered in the order
// first met.
class Names {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  Names() = default;
  // Moved, never copied: the keys of ids_ are views of names_.
  Names(Names&&) = default;
  Names& operator=(Names&&) = default;
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;

  std::uint32_t id(std::string_view name);
  const std::string& operator[](std::uint32_t id) const { return names_[id]; }
  std::size_t size() const { return names_.size(); }

 private:
  std::deque<std::string> names_;  // a deque: the keys of ids_ stay where they are
  std::unordered_map<std::string_view, std::uint32_t> ids_;
  std::uint32_t last_ = kNone;
};

// A usage list's model ids for the names of one file, each looked up once.
class ListModels {
 public:
  ListModels(const Names& names, UsageList& list) : names_(&names), list_(&list), ids_(names.size(), kUnknown) {}
  // Usage::kNoModel for Names::kNone.
  std::uint32_t operator()(std::uint32_t name);

 private:
  static constexpr std::uint32_t kUnknown = UINT32_MAX - 1;
  const Names* names_;
  UsageList* list_;
  std::vector<std::uint32_t> ids_;
};

// The bytes of a key made of several parts, for SeenKeys: each text after its length (so
// that no two lists of parts give the same bytes), each number in seven-bit groups (small
// numbers take few bytes, and no number's bytes begin another's).
class KeyBytes {
 public:
  KeyBytes& text(std::string_view t);
  KeyBytes& number(std::uint64_t n);
  KeyBytes& counts(const Counts& c);
  std::string_view view() const { return bytes_; }
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// A usage of the list with these counts: the block's and the reasoning count.
Usage& add_counts(UsageList& list, std::int64_t time_ms, std::uint32_t model, const Counts& counts);

}  // namespace qm::reader
