// Gemini CLI files, session documents or JSON Lines logs (the first byte chooses): read
// without fault, the same items again with the same parser. A log gives the same items read
// in chunks, read in two parts put together, the second not knowing the model before it, and
// cut into parts as the workers read it; a log line passed over unparsed names no model,
// statistics or reply.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/gemini/reader.h"
#include "reader/file_parts.h"
#include "reader/files.h"
#include "reading.h"
#include "support.h"

namespace {

namespace parser = qm::gemini::parser;

std::string describe(const parser::FileItems& items) {
  std::string out;
  for (const auto& r : items.replies) {
    const auto& c = r.counts;
    out += items.models[r.model] + "|" + std::to_string(r.time_ms) + "|" + std::to_string(c.input) + "," +
           std::to_string(c.output) + "," + std::to_string(c.cache_read) + "," + std::to_string(c.reasoning) + "\n";
  }
  return out;
}

parser::FileItems fold(const std::vector<qm::reader::Text>& lines, std::size_t from, std::size_t to, bool at_start,
                       qm::json::StrictParser& json, parser::CurrentModel* current = nullptr) {
  parser::FileItems items;
  parser::LogFold f(items, 1746093600000, at_start);
  for (std::size_t i = from; i < to; ++i) f.line(lines[i].view(), json);
  if (current) *current = f.current();
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser json;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2) {
    // The reader hands over whole documents followed by the parser's padding.
    const qm::reader::Text text{std::string(input)};
    const auto items = parser::parse_document("chats/session.json", text.view(), 1746093600000, json);
    FUZZ_CHECK(parser::parse_document("chats/session.json", text.view(), 1746093600000, json) == items);
    for (const auto& item : items) FUZZ_CHECK(!item.model.empty());
    return 0;
  }
  const auto lines = fuzzing::lines_of(input);
  const auto whole = fold(lines, 0, lines.size(), true, json);
  const std::string items = describe(whole);
  FUZZ_CHECK(describe(fold(lines, 0, lines.size(), true, json)) == items);
  for (const auto& r : whole.replies) FUZZ_CHECK(r.model < whole.models.size() && !whole.models[r.model].empty());

  const std::size_t cut = size % (lines.size() + 1);
  parser::CurrentModel first_current, second_current;
  auto first = fold(lines, 0, cut, true, json, &first_current);
  auto second = fold(lines, cut, lines.size(), false, json, &second_current);
  parser::LogJoin join(parser::PartItems{std::move(first), first_current});
  join.add(parser::PartItems{std::move(second), second_current});
  FUZZ_CHECK(describe(join.take()) == items);

  fuzzing::MemoryFile file(input);
  parser::FileReader reader(1 + size % 61);
  auto read = reader.read_log(file.path(), 1746093600000);
  FUZZ_CHECK(read.has_value());
  FUZZ_CHECK(describe(*read) == items);
  auto read_part = [&](const std::filesystem::path& path, const qm::jsonl::FilePart& part, const qm::reader::FileTime&) {
    return reader.read_log(path, part, 1746093600000);
  };
  auto parts = qm::reader::read_in_parts<parser::LogJoin>(file.path(), 1 + (size / 3) % 97, read_part);
  FUZZ_CHECK(parts.has_value());
  FUZZ_CHECK(describe(*parts) == items);

  for (const auto& line : lines) {
    if (parser::may_matter(line.view())) continue;
    auto obj = json.parse(line.view());
    simdjson::dom::object o;
    if (!obj || obj->get_object().get(o)) continue;
    for (auto field : o) {
      FUZZ_CHECK(field.key != "model" && field.key != "stats");
      if (field.key == "type") FUZZ_CHECK(!field.value.is_string() || field.value.get_string().value_unsafe() != "gemini");
      if (field.key == "result" && field.value.is_object())
        FUZZ_CHECK(field.value.at_key("stats").error() != simdjson::SUCCESS);
    }
  }
  return 0;
}
