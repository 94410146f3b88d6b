// GitHub Copilot CLI export files: read without fault; the same calls from a parser that read
// other files before, from the same lines with blank lines between them, from the file read
// in chunks, from the file read in two parts put together and from it cut into parts as the
// workers read it; a line passed over unparsed names neither counts nor a model; no kept call
// shares a trace or response id with a kept call of a more specific kind.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/copilot/reader.h"
#include "reader/file_parts.h"
#include "reader/files.h"
#include "reading.h"
#include "support.h"

namespace {

namespace copilot = qm::copilot;

// The calls that stay, as the report sees them.
std::string describe(copilot::ExportItems& items) {
  copilot::settle(items);
  std::string out;
  for (const auto& c : items.calls) {
    out += items.models[c.model] + "|" + std::to_string(static_cast<int>(c.kind)) + "|" + std::to_string(c.time_ms) + "|" +
           std::to_string(c.counts.input) + "," + std::to_string(c.counts.output) + "," +
           std::to_string(c.counts.cache_creation) + "," + std::to_string(c.counts.cache_read) + "," +
           std::to_string(c.counts.reasoning) + "\n";
  }
  return out;
}

copilot::ExportItems fold(const std::vector<qm::reader::Text>& lines, std::size_t from, std::size_t to,
                          qm::json::StrictParser& parser) {
  copilot::ExportItems items;
  copilot::ExportFold f(items, 1746093600000);
  for (std::size_t i = from; i < to; ++i) f.line(lines[i].view(), parser);
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto lines = fuzzing::lines_of(input);
  qm::json::StrictParser fresh;
  auto whole = fold(lines, 0, lines.size(), fresh);
  const std::string calls = describe(whole);
  auto again = fold(lines, 0, lines.size(), reused);
  FUZZ_CHECK(describe(again) == calls);

  std::string spaced;
  for (char c : input) spaced += c == '\n' ? std::string_view("\n\n") : std::string_view(&c, 1);
  const auto spaced_lines = fuzzing::lines_of(spaced);
  auto spaced_items = fold(spaced_lines, 0, spaced_lines.size(), reused);
  FUZZ_CHECK(describe(spaced_items) == calls);

  // Two parts cut at a line the input chooses, read apart and put together.
  const std::size_t cut = lines.empty() ? 0 : size % (lines.size() + 1);
  auto joined = fold(lines, 0, cut, reused);
  copilot::append_part(joined, fold(lines, cut, lines.size(), reused));
  FUZZ_CHECK(describe(joined) == calls);

  fuzzing::MemoryFile file(input);
  copilot::ExportReader reader(1 + size % 61);
  auto read = reader.read(file.path(), 1746093600000);
  FUZZ_CHECK(read.has_value());
  FUZZ_CHECK(describe(*read) == calls);
  auto read_part = [&](const std::filesystem::path& path, const qm::jsonl::FilePart& part, const qm::reader::FileTime&) {
    return reader.read(path, part, 1746093600000);
  };
  auto parts = qm::reader::read_in_parts<copilot::ExportJoin>(file.path(), 1 + (size / 3) % 97, read_part);
  FUZZ_CHECK(parts.has_value());
  FUZZ_CHECK(describe(*parts) == calls);

  // A line passed over unparsed names no count and no model, however it spells its names.
  for (const auto& line : lines) {
    if (copilot::may_matter(line.view())) continue;
    auto record = reused.parse(line.view());
    simdjson::dom::object attributes;
    if (!record || record->at_key("attributes").get_object().get(attributes)) continue;
    for (auto field : attributes)
      FUZZ_CHECK(!field.key.starts_with("gen_ai.usage.") && field.key != "gen_ai.response.model" &&
                 field.key != "gen_ai.request.model");
  }

  const auto& kept = whole.calls;  // settled
  for (const auto& c : kept) {
    FUZZ_CHECK(c.model < whole.models.size() && !whole.models[c.model].empty());
    FUZZ_CHECK(c.counts.input || c.counts.output || c.counts.cache_creation || c.counts.cache_read || c.counts.reasoning);
    for (const auto& other : kept) {
      if (other.kind >= c.kind) continue;
      FUZZ_CHECK(!(c.trace != copilot::kNoId && other.trace == c.trace));
      FUZZ_CHECK(!(c.response != copilot::kNoId && other.response == c.response));
    }
  }
  return 0;
}
