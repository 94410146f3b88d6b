// The chunked JSON Lines reader, at any chunk size, gives the lines of the file (and the
// records parsed in place from them) that cutting the whole text at its line feeds gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jsonl_reader.h"
#include "support.h"

namespace {

// A line and what the strict reader makes of it.
std::string record(std::string_view line, const std::optional<simdjson::dom::element>& value) {
  std::string out(line);
  out += value ? "\n=> " + simdjson::to_string(*value) : "\n=> refused";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto chunk = input.ConsumeIntegralInRange<std::size_t>(1, 300);
  std::string needle = input.ConsumeRandomLengthString(6);
  std::erase(needle, '\n');
  const std::string text = input.ConsumeRemainingBytesAsString();

  static qm::json::StrictParser in_place, copying;
  std::vector<std::string> lines, wanted_lines, containing, wanted_containing;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = std::string_view(text).substr(start, end - start);
    wanted_lines.push_back(record(line, copying.parse_copy(line)));
    if (!needle.empty() && line.find(needle) != std::string_view::npos) wanted_containing.emplace_back(line);
    start = end + 1;
  }

  fuzzing::MemoryFile file(text);
  qm::jsonl::LineReader reader(chunk);
  FUZZ_CHECK(reader.for_each_line(file.path(), [&](std::string_view line) {
    lines.push_back(record(line, in_place.parse(line)));  // in the reader's buffer, on its padding
  }));
  FUZZ_CHECK(lines == wanted_lines);
  if (!needle.empty()) {
    FUZZ_CHECK(reader.for_each_line_containing(file.path(), needle, [&](std::string_view line) {
      containing.emplace_back(line);
    }));
    FUZZ_CHECK(containing == wanted_containing);
  }
  return 0;
}
