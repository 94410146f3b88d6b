#include "JSONWriter.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace pellox {

void JSONWriter::put(std::string_view bytes) {
  if (sink_ && bytes.size() >= pieceBytes) {
    flush();
    sink_(bytes);
    return;
  }
  buffer_.append(bytes);
  if (sink_ && buffer_.size() >= pieceBytes) flush();
}

void JSONWriter::flush() {
  if (!sink_ || buffer_.empty()) return;
  sink_(buffer_);
  buffer_.clear();
}

void JSONWriter::writeInt(std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void JSONWriter::writeDouble(double value) {
  if (!std::isfinite(value)) throw EncodingError("number is not finite");
  // The shortest digits that read back, laid out as 1.5, 1000.0, 1e-05 or
  // 1.8446744073709552e+19: the form request lines have always had.
  char digits[64];
  const char* end = nlohmann::detail::to_chars(digits, digits + sizeof digits, value);
  put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void JSONWriter::writeNumber(json::Number number) {
  if (const auto* i = std::get_if<std::int64_t>(&number)) {
    writeInt(*i);
  } else {
    writeDouble(std::get<double>(number));
  }
}

void JSONWriter::writeCodePoint(std::uint32_t cp) {
  switch (cp) {
    case '\b':
      put("\\b");
      return;
    case '\t':
      put("\\t");
      return;
    case '\n':
      put("\\n");
      return;
    case '\f':
      put("\\f");
      return;
    case '\r':
      put("\\r");
      return;
    case '"':
      put("\\\"");
      return;
    case '\\':
      put("\\\\");
      return;
    default:
      break;
  }
  if (cp < 0x20) {
    constexpr char hex[] = "0123456789abcdef";
    const char escape[] = {'\\', 'u', '0', '0', hex[cp >> 4], hex[cp & 0xF]};
    put(std::string_view(escape, sizeof escape));
    return;
  }
  char bytes[4];
  put(std::string_view(bytes, json::encodeUtf8(cp, bytes)));
}

void JSONWriter::writeString(std::string_view bytes) {
  put('"');
  std::size_t run = 0;  // start of the bytes not yet written
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    while (pos + 8 <= bytes.size() && !json::anyStringSpecial(bytes.data() + pos)) pos += 8;
    if (pos >= bytes.size()) break;
    const auto c = static_cast<unsigned char>(bytes[pos]);
    if (c >= 0x80) {
      const std::size_t length = json::utf8Length(bytes, pos);
      if (length == 0) throw EncodingError("string is not UTF-8");
      pos += length;
    } else if (c < 0x20 || c == '"' || c == '\\') {
      put(bytes.substr(run, pos - run));
      writeCodePoint(c);
      run = ++pos;
    } else {
      ++pos;
    }
  }
  put(bytes.substr(run));
  put('"');
}

void JSONWriter::writeString(json::StringToken token) {
  put('"');
  const std::string_view raw = token.raw;
  std::size_t pos = 0;
  while (token.escaped) {
    const std::size_t backslash = raw.find('\\', pos);
    if (backslash == std::string_view::npos) break;
    put(raw.substr(pos, backslash - pos));
    pos = backslash;
    const char kind = raw[pos + 1];
    if (kind == 'u') {
      writeCodePoint(json::decodeUnicodeEscape(raw, pos));
      continue;
    }
    // Every two-character escape is written as it came, but for "\/".
    if (kind == '/') {
      put('/');
    } else {
      put(raw.substr(pos, 2));
    }
    pos += 2;
  }
  put(raw.substr(pos));
  put('"');
}

void JSONWriter::write(const JSONValue& value) {
  struct Visitor {
    JSONWriter& out;
    void operator()(bool b) const { out.put(b ? "true" : "false"); }
    void operator()(std::int64_t i) const { out.writeInt(i); }
    void operator()(double d) const { out.writeDouble(d); }
    void operator()(const std::string& s) const { out.writeString(std::string_view(s)); }
    void operator()(const JSONValue::Array& array) const {
      out.put('[');
      for (std::size_t i = 0; i < array.size(); ++i) {
        if (i > 0) out.put(',');
        out.write(array[i]);
      }
      out.put(']');
    }
    void operator()(const JSONValue::Object& object) const {
      out.put('{');
      bool first = true;
      for (const auto& [key, member] : object) {
        if (!first) out.put(',');
        first = false;
        out.writeString(std::string_view(key));
        out.put(':');
        out.write(member);
      }
      out.put('}');
    }
    void operator()(std::nullptr_t) const { out.put("null"); }
  };
  std::visit(Visitor{*this}, value.storage);
}

}  // namespace pellox
