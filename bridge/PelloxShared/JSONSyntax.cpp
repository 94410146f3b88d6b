#include "JSONSyntax.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace pellox::json {

namespace {

[[noreturn]] void fail(const char* what) { throw DecodingError(what); }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at `pos` (pointing at the backslash).
int hexQuad(std::string_view text, std::size_t pos) {
  if (pos + 6 > text.size() || text[pos + 1] != 'u') return -1;
  int value = 0;
  for (std::size_t i = pos + 2; i < pos + 6; ++i) {
    const int digit = hexDigit(text[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// Checks the escape whose backslash is at `pos`; returns the position after it.
std::size_t checkEscape(std::string_view text, std::size_t pos) {
  if (pos + 1 >= text.size()) fail("unterminated string");
  switch (text[pos + 1]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return pos + 2;
    case 'u':
      break;
    default:
      fail("invalid escape");
  }
  const int unit = hexQuad(text, pos);
  if (unit < 0) fail("invalid \\u escape");
  if (unit >= 0xDC00 && unit <= 0xDFFF) fail("unpaired surrogate");
  if (unit < 0xD800 || unit > 0xDBFF) return pos + 6;
  const int low = hexQuad(text, pos + 6);
  if (pos + 6 >= text.size() || text[pos + 6] != '\\' || low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate");
  return pos + 12;
}

// Past the range of from_chars (overflow or underflow): strtod tells which,
// giving infinity for the one and zero or a subnormal for the other.
double outOfRange(std::string_view text) {
  static const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string terminated(text);
  return ::strtod_l(terminated.c_str(), nullptr, c);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::size_t encodeUtf8(std::uint32_t cp, char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

std::size_t utf8Length(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) -> unsigned {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
  };
  const unsigned lead = byte(pos);
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  const unsigned second = byte(pos + 1);
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    const unsigned next = byte(pos + i);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

StringToken scanString(std::string_view text, std::size_t& pos) {
  const std::size_t start = ++pos;
  const char* data = text.data();
  bool escaped = false;
  for (;;) {
    while (pos + 8 <= text.size() && !anyStringSpecial(data + pos)) pos += 8;
    if (pos >= text.size()) fail("unterminated string");
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '"') break;
    if (c == '\\') {
      escaped = true;
      pos = checkEscape(text, pos);
    } else if (c < 0x20) {
      fail("control character in string");
    } else if (c >= 0x80) {
      const std::size_t length = utf8Length(text, pos);
      if (length == 0) fail("invalid UTF-8");
      pos += length;
    } else {
      ++pos;
    }
  }
  return {text.substr(start, pos++ - start), escaped};
}

StringToken checkedString(std::string_view text, std::size_t& pos) {
  // Long strings are the bulk of large events: memchr finds the quotes, and a
  // quote after an odd run of backslashes is one written inside the string.
  const std::size_t start = ++pos;
  const char* data = text.data();
  for (;;) {
    pos = static_cast<const char*>(std::memchr(data + pos, '"', text.size() - pos)) - data;
    std::size_t backslashes = 0;
    while (data[pos - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) break;
    ++pos;
  }
  const std::string_view raw = text.substr(start, pos++ - start);
  return {raw, raw.find('\\') != std::string_view::npos};
}

NumberToken scanNumber(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  const auto digits = [&] {
    const std::size_t first = pos;
    while (pos < text.size() && isDigit(text[pos])) ++pos;
    if (pos == first) fail("invalid number");
  };
  if (pos < text.size() && text[pos] == '-') ++pos;
  if (pos < text.size() && text[pos] == '0') {
    ++pos;
  } else {
    digits();
  }
  bool integer = true;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    digits();
    integer = false;
  }
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    digits();
    integer = false;
  }
  return {text.substr(start, pos - start), integer};
}

Number numberValue(NumberToken token) {
  const char* first = token.text.data();
  const char* last = first + token.text.size();
  if (token.integer) {
    std::int64_t i = 0;
    if (std::from_chars(first, last, i).ec == std::errc{}) return i;
    std::uint64_t u = 0;
    if (first[0] != '-' && std::from_chars(first, last, u).ec == std::errc{}) return static_cast<double>(u);
  }
  double d = 0;
  if (std::from_chars(first, last, d).ec != std::errc{}) d = outOfRange(token.text);
  if (!std::isfinite(d)) fail("number out of range");
  return d;
}

std::uint32_t decodeUnicodeEscape(std::string_view raw, std::size_t& pos) {
  const auto unit = static_cast<std::uint32_t>(hexQuad(raw, pos));
  pos += 6;
  if (unit < 0xD800 || unit > 0xDBFF) return unit;
  const auto low = static_cast<std::uint32_t>(hexQuad(raw, pos));
  pos += 6;
  return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

void appendDecoded(StringToken token, std::string& out) {
  const std::string_view raw = token.raw;
  if (!token.escaped) {
    out.append(raw);
    return;
  }
  std::size_t pos = 0;
  while (pos < raw.size()) {
    const std::size_t backslash = raw.find('\\', pos);
    out.append(raw.substr(pos, backslash - pos));
    if (backslash == std::string_view::npos) break;
    pos = backslash;
    switch (raw[pos + 1]) {
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        char bytes[4];
        out.append(bytes, encodeUtf8(decodeUnicodeEscape(raw, pos), bytes));
        continue;
      }
      default:
        out.push_back(raw[pos + 1]);
        break;
    }
    pos += 2;
  }
}

}  // namespace pellox::json
