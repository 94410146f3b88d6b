// Qwen chat files, lines that are not UTF-8 included: read without fault, the same items
// from a parser that read other files before, none of them without tokens.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/qwen/parser.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  const std::filesystem::path path = "/data/projects/myproj/chats/chat1.jsonl";
  std::string padded(reinterpret_cast<const char*>(data), size);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size);
  qm::json::StrictParser fresh;
  const auto items = qm::qwen::parser::parse_file(path, text, 1746093600000, fresh);
  FUZZ_CHECK(qm::qwen::parser::parse_file(path, text, 1746093600000, reused) == items);
  for (const auto& i : items) {
    FUZZ_CHECK(!i.model.empty() && !i.session_id.empty() && i.project == "myproj");
    FUZZ_CHECK(i.input != 0 || i.output != 0 || i.cache_read != 0 || i.reasoning != 0);
  }
  return 0;
}
