// GitHub Copilot CLI export files: read without fault, the same records from a parser that
// read other files before, and from the same lines with blank lines between them; no kept
// record shares a trace or response id with a kept record of a more specific kind.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/copilot/reader.h"
#include "reader/files.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The reader hands over whole files followed by the parser's padding.
  const qm::reader::Text text{std::string(input)};
  qm::json::StrictParser fresh;
  const auto records = qm::copilot::parse_file(text.view(), 1746093600000, fresh);
  FUZZ_CHECK(qm::copilot::parse_file(text.view(), 1746093600000, reused) == records);

  std::string spaced;
  for (char c : input) spaced += c == '\n' ? std::string_view("\n\n") : std::string_view(&c, 1);
  FUZZ_CHECK(qm::copilot::parse_file(qm::reader::Text(std::move(spaced)).view(), 1746093600000, reused) == records);

  for (const auto& r : records) {
    FUZZ_CHECK(!r.model.empty() && !r.session_id.empty() && !r.record_id.empty());
    FUZZ_CHECK(r.input || r.output || r.cache_write || r.cache_read || r.reasoning);
    for (const auto& other : records) {
      if (other.kind >= r.kind) continue;
      FUZZ_CHECK(!(r.trace_id && other.trace_id == r.trace_id));
      FUZZ_CHECK(!(r.response_id && other.response_id == r.response_id));
    }
  }
  return 0;
}
