#pragma once

#include <string>
#include <string_view>

#include "JSONValue.h"

namespace pellox::PelloxCodec {

// Compact JSON of a value (any type with a `toJSON` overload), keys sorted at
// every depth, slashes not escaped. Throws EncodingError.
template <class T>
std::string encode(const T& value) {
  return writeJSON(toJSON(value));
}

// `encode` followed by the line end 0x0A: one line of the socket protocol.
template <class T>
std::string encodeLine(const T& value) {
  std::string line = encode(value);
  line.push_back('\n');
  return line;
}

// Reads one value of type T (any type with a `fromJSON` overload) from JSON
// text. Throws DecodingError.
template <class T>
T decode(std::string_view bytes) {
  T value{};
  fromJSON(readJSON(bytes), value);
  return value;
}

}  // namespace pellox::PelloxCodec
