#pragma once

// The JSON grammar, checked strictly, for the two readers of JSON text: the
// tree reader (readJSON) and the indexed document the bridge forwards. Both
// drive the same `parse`, so they accept exactly the same texts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "JSONValue.h"

namespace pellox::json {

// A string as written, between its quotes; `escaped` when it holds a backslash.
struct StringToken {
  std::string_view raw;
  bool escaped = false;
};

// A number as written; `integer` when it has neither fraction nor exponent.
struct NumberToken {
  std::string_view text;
  bool integer = false;
};

// An integer within the signed 64-bit range, or any other number as a double.
using Number = std::variant<std::int64_t, double>;

inline bool isWhitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline std::size_t skipWhitespace(std::string_view text, std::size_t pos) {
  while (pos < text.size() && isWhitespace(text[pos])) ++pos;
  return pos;
}

namespace detail {

constexpr std::uint64_t ones = 0x0101010101010101u;
constexpr std::uint64_t highs = 0x8080808080808080u;

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Non-zero exactly when some byte of `x` is zero.
constexpr std::uint64_t zeroByte(std::uint64_t x) { return (x - ones) & ~x & highs; }

constexpr std::uint64_t quoteOrBackslash(std::uint64_t v) {
  return zeroByte(v ^ (ones * '"')) | zeroByte(v ^ (ones * '\\'));
}

}  // namespace detail

// Eight bytes at a time: whether any is a quote, a backslash, a control
// character or not ASCII.
inline bool anyStringSpecial(const char* p) {
  using namespace detail;
  const std::uint64_t v = load8(p);
  const std::uint64_t below20 = (v - ones * 0x20) & ~v & highs;
  return ((v & highs) | below20 | quoteOrBackslash(v)) != 0;
}

// The length of the well-formed UTF-8 sequence starting at `pos` (a byte of
// 0x80 or more), or 0 when it is malformed, overlong, a surrogate or past U+10FFFF.
std::size_t utf8Length(std::string_view text, std::size_t pos);

// Writes the UTF-8 form of a code point into `out`; returns its length.
std::size_t encodeUtf8(std::uint32_t cp, char out[4]);

// Reads the string whose opening quote is at `pos` and moves `pos` past its
// closing quote. Refuses raw control characters (NUL among them), malformed
// UTF-8, bad escapes and unpaired surrogates. Throws DecodingError.
StringToken scanString(std::string_view text, std::size_t& pos);

// The token of a string already checked by scanString, whose opening quote
// is at `pos`; moves `pos` past its closing quote.
StringToken checkedString(std::string_view text, std::size_t& pos);

// Reads the number starting at `pos` by the JSON grammar; `pos` ends after it.
// Throws DecodingError.
NumberToken scanNumber(std::string_view text, std::size_t& pos);

// The value of a number token; refuses one too large for a double.
Number numberValue(NumberToken token);

// Appends the bytes a checked string token stands for.
void appendDecoded(StringToken token, std::string& out);

// The code point of the escape `\uXXXX` (or surrogate pair) at `pos` in a
// checked token, moving `pos` past it.
std::uint32_t decodeUnicodeEscape(std::string_view raw, std::size_t& pos);

// Deepest nesting accepted, as for readJSON.
inline constexpr std::size_t maxDepth = maxNestingDepth;

// Reads one JSON text (a leading UTF-8 byte order mark and surrounding
// whitespace allowed, nothing else after the value), calling the handler in
// document order:
//   null(), boolean(bool), number(NumberToken), string(StringToken),
//   startObject(offset of '{'), key(StringToken, offset of its quote),
//   endObject(), startArray(), endArray().
// Throws DecodingError; the handler may throw too.
template <class Handler>
void parse(std::string_view text, Handler& handler) {
  std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  // Whether each open container is an object.
  std::array<bool, maxDepth> objects{};
  std::size_t depth = 0;

  const auto fail = [](const char* what) { throw DecodingError(what); };
  const auto key = [&] {
    pos = skipWhitespace(text, pos);
    if (pos >= text.size() || text[pos] != '"') fail("expected a key");
    const std::size_t at = pos;
    handler.key(scanString(text, pos), at);
    pos = skipWhitespace(text, pos);
    if (pos >= text.size() || text[pos] != ':') fail("expected ':'");
    ++pos;
  };
  const auto literal = [&](std::string_view word) {
    if (text.substr(pos, word.size()) != word) fail("invalid literal");
    pos += word.size();
  };

  for (;;) {
    // A value.
    pos = skipWhitespace(text, pos);
    if (pos >= text.size()) fail("unexpected end of text");
    switch (text[pos]) {
      case '{':
      case '[': {
        const bool object = text[pos] == '{';
        if (depth == maxDepth) fail("nesting too deep");
        objects[depth++] = object;
        if (object) {
          handler.startObject(pos);
        } else {
          handler.startArray();
        }
        pos = skipWhitespace(text, pos + 1);
        if (pos < text.size() && text[pos] == (object ? '}' : ']')) {
          ++pos;
          --depth;
          if (object) {
            handler.endObject();
          } else {
            handler.endArray();
          }
          break;
        }
        if (object) key();
        continue;
      }
      case '"':
        handler.string(scanString(text, pos));
        break;
      case 't':
        literal("true");
        handler.boolean(true);
        break;
      case 'f':
        literal("false");
        handler.boolean(false);
        break;
      case 'n':
        literal("null");
        handler.null();
        break;
      default:
        handler.number(scanNumber(text, pos));
        break;
    }

    // After a value: close containers, or go on to the next element.
    for (;;) {
      pos = skipWhitespace(text, pos);
      if (depth == 0) {
        if (pos != text.size()) fail("text after the value");
        return;
      }
      if (pos >= text.size()) fail("unexpected end of text");
      const char c = text[pos++];
      const bool object = objects[depth - 1];
      if (c == ',') {
        if (object) key();
        break;
      }
      if (c != (object ? '}' : ']')) fail("expected ',' or a closing bracket");
      --depth;
      if (object) {
        handler.endObject();
      } else {
        handler.endArray();
      }
    }
  }
}

}  // namespace pellox::json
