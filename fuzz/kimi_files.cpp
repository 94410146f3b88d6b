// Kimi files (the first byte chooses): a wire log gives the usages of its lines each read
// alone; a config.json gives a model name, trimmed and not empty.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/kimi/reader.h"
#include "reading.h"
#include "support.h"
#include "util.h"

namespace {

namespace kimi = qm::kimi;

std::string describe(const kimi::KimiWireUsage& i) {
  return fmt::format("{}|{}|{}|{}|{}|{} {} {} {} {}", i.timestamp_text, i.session_id, i.model,
                     i.message_id.value_or("-"), i.timestamp, i.input, i.output, i.cache_creation, i.cache_read,
                     i.reasoning);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser parser;
  constexpr std::int64_t kFileTime = 1746093600000;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const qm::reader::Text text{std::string(input)};
  if (data[0] % 2) {
    const std::string model = kimi::model_of_config(text.view(), parser);
    FUZZ_CHECK(!model.empty() && qm::util::trim(model) == model);
    return 0;
  }
  // No config.json above it: the default model.
  const std::filesystem::path path = "/nonexistent/sessions/a/s1/wire.jsonl";
  std::vector<std::string> whole, one_by_one;
  for (const auto& i : kimi::parse_file(path, text.view(), kFileTime, parser)) {
    FUZZ_CHECK(i.model == kimi::kDefaultModel && i.session_id == "s1");
    whole.push_back(describe(i));
  }
  for (const auto& line : fuzzing::lines_of(input))
    if (auto i = kimi::parse_wire_line(line.view(), parser, "s1", kimi::kDefaultModel, kFileTime))
      one_by_one.push_back(describe(*i));
  FUZZ_CHECK(one_by_one == whole);
  return 0;
}
