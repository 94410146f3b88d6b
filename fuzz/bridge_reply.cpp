// The bridge's reading of the application's reply.
#include <cstdint>
#include <string_view>

#include "PelloxShared/Envelope.h"
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::round_trip<pellox::Response>(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
