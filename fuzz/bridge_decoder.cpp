// The bridge's reading of a hook event, and the request envelope built around it.
#include <cstdint>
#include <string_view>

#include "PelloxShared/Envelope.h"
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzzing::round_trip<pellox::JSONValue>(bytes);
  fuzzing::round_trip<pellox::Envelope>(bytes);
  return 0;
}
