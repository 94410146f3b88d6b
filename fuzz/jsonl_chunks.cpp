// The chunked JSON Lines reader, at any chunk size, gives the lines of the file (and the
// records parsed in place from them) that cutting the whole text at its line feeds gives; and
// so do the parts of the file, at any part size, read last first and put in part order.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json/strict.h"
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
  const auto part_size = input.ConsumeIntegralInRange<std::uint64_t>(1, 400);
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

  const int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  const auto parts = qm::jsonl::cut_file(fd, text.size(), part_size);
  std::vector<std::vector<std::string>> part_lines(parts.size()), part_containing(parts.size());
  for (std::size_t k = parts.size(); k-- > 0;) {
    FUZZ_CHECK(reader.for_each_line(file.path(), parts[k], [&](std::string_view line) {
      FUZZ_CHECK(text.compare(reader.offset_of(line), line.size(), line) == 0);
      part_lines[k].push_back(record(line, in_place.parse(line)));
    }));
    if (!needle.empty())
      FUZZ_CHECK(reader.for_each_line_containing(file.path(), parts[k], needle, [&](std::string_view line) {
        part_containing[k].emplace_back(line);
      }));
  }
  ::close(fd);
  lines.clear();
  containing.clear();
  for (std::size_t k = 0; k < parts.size(); ++k) {
    lines.insert(lines.end(), part_lines[k].begin(), part_lines[k].end());
    containing.insert(containing.end(), part_containing[k].begin(), part_containing[k].end());
  }
  FUZZ_CHECK(lines == wanted_lines);
  if (!needle.empty()) FUZZ_CHECK(containing == wanted_containing);
  return 0;
}
