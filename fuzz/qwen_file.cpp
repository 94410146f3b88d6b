// Qwen chat logs, UTF-8 or not: a file gives the usages of its lines each read alone.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/qwen/parser.h"
#include "reading.h"
#include "support.h"

namespace {

namespace qwen = qm::qwen::parser;

void describe(const std::vector<qwen::QwenChatUsage>& items, std::vector<std::string>& out) {
  for (const auto& i : items)
    out.push_back(fmt::format("{}|{}|{}|{}|{}|{} {} {} {}", i.timestamp_text, i.session_id, i.model, i.project,
                              i.timestamp, i.input, i.output, i.cache_read, i.reasoning));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser parser;
  constexpr std::int64_t kFileTime = 1746093600000;
  const std::filesystem::path path = "/home/q/.qwen/projects/p/chats/c.jsonl";
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const qm::reader::Text text{std::string(input)};
  const auto items = qwen::parse_file(path, text.view(), kFileTime, parser);
  std::vector<std::string> whole, one_by_one;
  describe(items, whole);
  for (const auto& line : fuzzing::lines_of(input)) describe(qwen::parse_file(path, line.view(), kFileTime, parser), one_by_one);
  FUZZ_CHECK(one_by_one == whole);
  for (const auto& i : items) FUZZ_CHECK(!i.model.empty() && !i.session_id.empty() && i.project == "p");
  return 0;
}
