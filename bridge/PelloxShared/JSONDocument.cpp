#include "JSONDocument.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "JSONSyntax.h"

namespace pellox {

namespace {

template <class Offset>
using Index = JSONDocument::Index<Offset>;

// Keys compared by their bytes: a key without escapes is its own bytes, so
// only escaped keys cost a decoding.
class Keys {
 public:
  explicit Keys(std::string_view text) : text_(text) {}

  // The key written at `raw` (between its quotes), against another.
  int compare(std::string_view a, std::string_view b) { return bytes(a, scratchA_).compare(bytes(b, scratchB_)); }

  // The key whose quote is at `offset`, against the bytes of a key.
  int compare(std::size_t offset, std::string_view key) {
    return bytes(json::checkedString(text_, offset).raw, scratchA_).compare(key);
  }

 private:
  static std::string_view bytes(std::string_view raw, std::string& scratch) {
    if (raw.find('\\') == std::string_view::npos) return raw;
    scratch.clear();
    json::appendDecoded({raw, true}, scratch);
    return scratch;
  }

  std::string_view text_;
  std::string scratchA_, scratchB_;
};

template <class Offset>
const typename Index<Offset>::Object* findObject(const Index<Offset>& index, std::size_t start) {
  const auto it = std::lower_bound(index.objects.begin(), index.objects.end(), start,
                                   [](const auto& object, std::size_t at) { return object.start < at; });
  return it != index.objects.end() && it->start == start ? &*it : nullptr;
}

// Collects, while the parser checks the text, the keys of every open object;
// an object that closes with its keys in order is forgotten.
template <class Offset>
class Indexer {
 public:
  Indexer(std::string_view text, Index<Offset>& index) : text_(text), keys_(text), index_(index) {}

  void null() {}
  void boolean(bool) {}
  void string(json::StringToken) {}
  // Only checked here: a number too large for a double is refused.
  void number(json::NumberToken token) { json::numberValue(token); }
  void startArray() { ++depth_; }
  void endArray() { --depth_; }
  void startObject(std::size_t offset) {
    frames_.push_back({offset, pending_.size(), index_.objects.size(), depth_ == 0});
    ++depth_;
  }
  void key(json::StringToken token, std::size_t offset) {
    pending_.push_back({static_cast<Offset>(offset), static_cast<Offset>(token.raw.size())});
  }

  void endObject() {
    --depth_;
    const Frame frame = frames_.back();
    frames_.pop_back();
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(frame.firstKey);
    auto last = pending_.end();
    const bool inOrder = std::adjacent_find(first, last, [&](const Key& a, const Key& b) {
                           return keys_.compare(raw(a), raw(b)) >= 0;
                         }) == last;
    if (!inOrder || frame.root) {
      if (!inOrder) last = sortKeepingLast(first, last);
      // Objects recorded since this one opened lie inside it: it goes before them.
      index_.objects.insert(index_.objects.begin() + static_cast<std::ptrdiff_t>(frame.firstObject),
                            {static_cast<Offset>(frame.start), static_cast<Offset>(index_.keys.size()),
                             static_cast<Offset>(last - first)});
      for (auto it = first; it != last; ++it) index_.keys.push_back(it->offset);
    }
    pending_.resize(frame.firstKey);
  }

 private:
  struct Key {
    Offset offset;  // of its opening quote
    Offset length;  // between the quotes
  };
  struct Frame {
    std::size_t start;
    std::size_t firstKey;     // in pending_
    std::size_t firstObject;  // in the index
    bool root;
  };

  std::string_view raw(const Key& key) const { return text_.substr(key.offset + 1, key.length); }

  // Sorts by key; of a repeated key only the last one stays, as in a tree.
  template <class It>
  It sortKeepingLast(It first, It last) {
    std::sort(first, last, [&](const Key& a, const Key& b) {
      const int order = keys_.compare(raw(a), raw(b));
      return order != 0 ? order < 0 : a.offset < b.offset;
    });
    It out = first;
    for (It it = first; it != last; ++it) {
      if (it + 1 != last && keys_.compare(raw(*it), raw(*(it + 1))) == 0) continue;
      *out++ = *it;
    }
    return out;
  }

  std::string_view text_;
  Keys keys_;
  Index<Offset>& index_;
  std::vector<Key> pending_;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
};

// Writes a checked text again, value by value, taking the keys of indexed
// objects in their sorted order. Recursion is bounded by the parser's depth cap.
template <class Offset>
class SortedWriter {
 public:
  SortedWriter(std::string_view text, const Index<Offset>& index, JSONWriter& out)
      : text_(text), index_(index), out_(out) {}

  // Returns the offset after the value at `pos`.
  std::size_t value(std::size_t pos) {
    switch (text_[pos]) {
      case '{':
        return object(pos);
      case '[':
        return array(pos);
      case '"':
        out_.writeString(json::checkedString(text_, pos));
        return pos;
      case 't':
        out_.put("true");
        return pos + 4;
      case 'f':
        out_.put("false");
        return pos + 5;
      case 'n':
        out_.put("null");
        return pos + 4;
      default:
        out_.writeNumber(json::numberValue(json::scanNumber(text_, pos)));
        return pos;
    }
  }

 private:
  std::size_t skip(std::size_t pos) const { return json::skipWhitespace(text_, pos); }

  // Writes the elements after the bracket at `pos` up to the closing one, each
  // by `element`, and returns the offset after the closing bracket.
  template <class Element>
  std::size_t elements(std::size_t pos, char close, Element element) {
    pos = skip(pos + 1);
    if (text_[pos] != close) {
      for (;;) {
        pos = skip(element(pos));
        if (text_[pos] == close) break;
        out_.put(',');
        pos = skip(pos + 1);
      }
    }
    return pos + 1;
  }

  std::size_t array(std::size_t pos) {
    out_.put('[');
    pos = elements(pos, ']', [this](std::size_t at) { return value(at); });
    out_.put(']');
    return pos;
  }

  // The member whose key's quote is at `pos`.
  std::size_t member(std::size_t pos) {
    out_.writeString(json::checkedString(text_, pos));
    out_.put(':');
    return value(skip(skip(pos) + 1));
  }

  std::size_t object(std::size_t pos) {
    out_.put('{');
    if (const auto* indexed = findObject(index_, pos)) {
      // The last member in the text always stays, so the furthest end is the object's.
      std::size_t end = pos + 1;
      for (Offset i = 0; i < indexed->count; ++i) {
        if (i > 0) out_.put(',');
        end = std::max(end, member(index_.keys[indexed->first + i]));
      }
      pos = skip(end) + 1;
    } else {
      pos = elements(pos, '}', [this](std::size_t at) { return member(at); });
    }
    out_.put('}');
    return pos;
  }

  std::string_view text_;
  const Index<Offset>& index_;
  JSONWriter& out_;
};

// The offset after the checked value at `pos`.
std::size_t skipValue(std::string_view text, std::size_t pos) {
  switch (text[pos]) {
    case '"':
      json::checkedString(text, pos);
      return pos;
    case 't':
    case 'n':
      return pos + 4;
    case 'f':
      return pos + 5;
    case '{':
    case '[':
      break;
    default:
      json::scanNumber(text, pos);
      return pos;
  }
  std::size_t depth = 0;
  for (;;) {
    const char c = text[pos];
    if (c == '"') {
      json::checkedString(text, pos);
      continue;
    }
    ++pos;
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return pos;
    }
  }
}

}  // namespace

JSONDocument JSONDocument::read(std::string_view text) {
  const std::size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  JSONDocument document(text, json::skipWhitespace(text, start));
  const auto index = [&]<class Offset>(Index<Offset>& into) {
    Indexer<Offset> indexer(text, into);
    json::parse(text, indexer);
  };
  if (text.size() <= std::numeric_limits<std::uint32_t>::max()) {
    index(document.index_.emplace<Index<std::uint32_t>>());
  } else {
    index(document.index_.emplace<Index<std::uint64_t>>());
  }
  return document;
}

std::optional<std::string_view> JSONDocument::memberText(std::string_view key) const {
  if (!isObject()) return std::nullopt;
  return std::visit(
      [&](const auto& index) -> std::optional<std::string_view> {
        // The top-level object is always indexed.
        const auto* root = findObject(index, root_);
        Keys keys(text_);
        const auto first = index.keys.begin() + static_cast<std::ptrdiff_t>(root->first);
        const auto last = first + static_cast<std::ptrdiff_t>(root->count);
        const auto it =
            std::lower_bound(first, last, key, [&](auto at, std::string_view k) { return keys.compare(at, k) < 0; });
        if (it == last || keys.compare(*it, key) != 0) return std::nullopt;
        std::size_t pos = *it;
        json::checkedString(text_, pos);
        pos = json::skipWhitespace(text_, json::skipWhitespace(text_, pos) + 1);
        return text_.substr(pos, skipValue(text_, pos) - pos);
      },
      index_);
}

void JSONDocument::write(JSONWriter& out) const {
  std::visit([&](const auto& index) { SortedWriter(text_, index, out).value(root_); }, index_);
}

}  // namespace pellox
