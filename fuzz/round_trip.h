#pragma once
// The property of the bridge's coders: decode → encode → decode gives the value again, and
// encoding that gives the same bytes.
#include <string>
#include <string_view>

#include "PelloxShared/Codec.h"
#include "support.h"

namespace fuzzing {

template <class T>
void round_trip(std::string_view bytes) {
  T value;
  try {
    value = pellox::PelloxCodec::decode<T>(bytes);
  } catch (const pellox::DecodingError&) {
    return;  // refused: nothing to hold
  }
  std::string text;
  try {
    text = pellox::PelloxCodec::encode(value);
  } catch (const pellox::EncodingError&) {
    FUZZ_CHECK(!"a decoded value encodes");
  }
  T again;
  try {
    again = pellox::PelloxCodec::decode<T>(text);
  } catch (const pellox::DecodingError&) {
    FUZZ_CHECK(!"an encoded value decodes");
  }
  FUZZ_CHECK(again == value);
  FUZZ_CHECK(pellox::PelloxCodec::encode(again) == text);
}

}  // namespace fuzzing
