// GitHub Copilot CLI export files: read twice (with other files read between) gives the same
// records, and so do the same lines with blank lines between them; no kept record shares its
// trace or response with a record of a more specific kind.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/copilot/reader.h"
#include "reader/files.h"
#include "support.h"

namespace {

using qm::copilot::CopilotTelemetryRecord;

std::vector<std::string> describe(const std::vector<CopilotTelemetryRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.push_back(fmt::format("{}|{}|{}|{}|{}|{}|{} {} {} {} {}|{}", r.model, r.session_id, r.record_id,
                              r.trace_id.value_or("-"), r.response_id.value_or("-"), r.time, r.input, r.output,
                              r.cache_write, r.cache_read, r.reasoning, static_cast<int>(r.kind)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser parser;  // carries whatever the last input left
  constexpr std::int64_t kFileTime = 1746093600000;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const qm::reader::Text text{std::string(input)};
  const auto records = qm::copilot::parse_file(text.view(), kFileTime, parser);
  const auto described = describe(records);
  FUZZ_CHECK(describe(qm::copilot::parse_file(text.view(), kFileTime, parser)) == described);

  std::string spaced;
  for (char c : input) spaced += c == '\n' ? std::string("\n\n") : std::string(1, c);
  const qm::reader::Text spaced_text{std::move(spaced)};
  FUZZ_CHECK(describe(qm::copilot::parse_file(spaced_text.view(), kFileTime, parser)) == described);

  for (const auto& r : records) {
    FUZZ_CHECK(!r.model.empty() && !r.record_id.empty() && !r.session_id.empty());
    FUZZ_CHECK(r.input || r.output || r.cache_write || r.cache_read || r.reasoning);
    for (const auto& other : records)
      if (other.kind < r.kind)
        FUZZ_CHECK(!(r.trace_id && r.trace_id == other.trace_id) && !(r.response_id && r.response_id == other.response_id));
  }
  return 0;
}
