// Gemini CLI files, session documents or JSON Lines logs (the first byte chooses): read
// without fault, the same items again with the same parser.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/gemini/parser.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser parser;
  const std::filesystem::path path = data[0] % 2 ? "chats/session.json" : "logs/session.jsonl";
  // The reader hands over whole files followed by the parser's padding.
  std::string padded(reinterpret_cast<const char*>(data) + 1, size - 1);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size - 1);
  const auto items = qm::gemini::parser::parse_file(path, text, 1746093600000, parser);
  FUZZ_CHECK(qm::gemini::parser::parse_file(path, text, 1746093600000, parser) == items);
  for (const auto& item : items) FUZZ_CHECK(!item.model.empty());
  return 0;
}
