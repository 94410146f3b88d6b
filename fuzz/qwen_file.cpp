// Qwen chat files, lines that are not UTF-8 included: read without fault, the same items
// from a parser that read other files before and from the file's lines each read alone, none
// of them without tokens.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/qwen/parser.h"
#include "reading.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  const std::filesystem::path path = "/data/projects/myproj/chats/chat1.jsonl";
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const qm::reader::Text text{std::string(input)};
  qm::json::StrictParser fresh;
  const auto items = qm::qwen::parser::parse_file(path, text.view(), 1746093600000, fresh);
  FUZZ_CHECK(qm::qwen::parser::parse_file(path, text.view(), 1746093600000, reused) == items);
  for (const auto& i : items) {
    FUZZ_CHECK(!i.model.empty() && !i.session_id.empty() && i.project == "myproj");
    FUZZ_CHECK(i.input != 0 || i.output != 0 || i.cache_read != 0 || i.reasoning != 0);
  }

  std::vector<qm::qwen::parser::QwenChatUsage> one_by_one;
  for (const auto& line : fuzzing::lines_of(input))
    for (auto& i : qm::qwen::parser::parse_file(path, line.view(), 1746093600000, reused)) one_by_one.push_back(std::move(i));
  FUZZ_CHECK(one_by_one == items);
  return 0;
}
