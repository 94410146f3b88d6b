#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <variant>

#include "JSONWriter.h"

namespace pellox {

// A JSON text read once and indexed, so that it can be written again with
// its keys sorted at every depth, and the members of its top-level object
// read, without a tree of values: a hook event may be hundreds of megabytes
// of small values. The index holds only the objects whose keys are not in
// strictly ascending order (a repeated key included) and the top-level one,
// as offsets into the text, which must outlive the document.
class JSONDocument {
 public:
  // Throws DecodingError for exactly the texts readJSON refuses.
  static JSONDocument read(std::string_view text);

  bool isObject() const { return text_[root_] == '{'; }

  // The text of the value under `key` in the top-level object (the last one
  // when the key repeats); nothing when there is none or this is no object.
  std::optional<std::string_view> memberText(std::string_view key) const;

  // The bytes writeJSON(readJSON(text)) gives.
  void write(JSONWriter& out) const;

  // Offsets are 32 bits wide for texts under 4 GiB, which halves the index.
  template <class Offset>
  struct Index {
    struct Object {
      Offset start;  // of its '{'
      Offset first;  // in `keys`
      Offset count;
    };
    std::deque<Object> objects;  // by start
    std::deque<Offset> keys;     // offsets of keys' quotes, each object's in key order, repeated keys dropped
  };

 private:
  JSONDocument(std::string_view text, std::size_t root) : text_(text), root_(root) {}

  std::string_view text_;
  std::size_t root_;  // offset of the value
  std::variant<Index<std::uint32_t>, Index<std::uint64_t>> index_;
};

}  // namespace pellox
