#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "JSONSyntax.h"
#include "JSONValue.h"

namespace pellox {

// Compact JSON text in the one form both writers share: no whitespace, "/"
// not escaped, non-ASCII kept as UTF-8, control characters escaped.
class JSONWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  // Keeps everything written in text().
  JSONWriter() = default;
  // Hands the text on to `sink` in pieces as it is made, so that the whole
  // text is never held; large runs of input go to the sink without a copy.
  explicit JSONWriter(Sink sink) : sink_(std::move(sink)) {}

  void put(char c) {
    buffer_.push_back(c);
    if (sink_ && buffer_.size() >= pieceBytes) flush();
  }
  void put(std::string_view bytes);

  void writeInt(std::int64_t value);
  // Throws EncodingError for a number that is not finite.
  void writeDouble(double value);
  void writeNumber(json::Number number);
  // The string of these bytes; throws EncodingError when they are not UTF-8.
  void writeString(std::string_view bytes);
  // The string a checked token of JSON text stands for, in this writer's form.
  void writeString(json::StringToken token);
  // Throws EncodingError.
  void write(const JSONValue& value);

  // Hands what is buffered to the sink.
  void flush();
  std::string& text() { return buffer_; }

  static constexpr std::size_t pieceBytes = 64 * 1024;

 private:
  void writeCodePoint(std::uint32_t cp);

  Sink sink_;
  std::string buffer_;
};

}  // namespace pellox
