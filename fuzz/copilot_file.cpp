// GitHub Copilot CLI export files: read without fault, the same records from a parser that
// read other files before, and no kept record shares a trace or response id with a kept
// record of a more specific kind.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/copilot/reader.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  // The reader hands over whole files followed by the parser's padding.
  std::string padded(reinterpret_cast<const char*>(data), size);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size);
  qm::json::StrictParser fresh;
  const auto records = qm::copilot::parse_file(text, 1746093600000, fresh);
  FUZZ_CHECK(qm::copilot::parse_file(text, 1746093600000, reused) == records);
  for (const auto& r : records) {
    FUZZ_CHECK(!r.model.empty() && !r.session_id.empty() && !r.record_id.empty());
    for (const auto& other : records) {
      if (other.kind >= r.kind) continue;
      FUZZ_CHECK(!(r.trace_id && other.trace_id == r.trace_id));
      FUZZ_CHECK(!(r.response_id && other.response_id == r.response_id));
    }
  }
  return 0;
}
