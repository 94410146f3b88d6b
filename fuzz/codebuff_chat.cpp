// Codebuff chat files: the first line names the chat's directory (its name may give the
// time), the rest is the document. Each message gives what it gives when it is the only one
// of the file, record ids apart (they may hold the message's place).
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/codebuff/parser.h"
#include "reading.h"
#include "support.h"

namespace {

namespace codebuff = qm::codebuff::parser;

void describe(const std::vector<codebuff::CodebuffMessage>& messages, std::vector<std::string>& out) {
  for (const auto& m : messages) {
    const auto& t = m.tokens;
    out.push_back(fmt::format("{}|{}|{}|{}|{}|{:a}|{} {} {} {} {}", m.timestamp_text, m.session_key, m.model,
                              m.provider, m.timestamp, m.credits, t.input, t.output, t.cache_creation, t.cache_read,
                              m.reasoning));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser parser, pieces;
  constexpr std::int64_t kFileTime = 1746093600000;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = std::min(input.find('\n'), input.size());
  std::string chat(input.substr(0, cut));
  for (char& c : chat)
    if (c == '/' || c == '\0') c = '_';
  const std::filesystem::path path = "/home/c/.config/manicode/projects/p/chats/" + chat + "/chat-messages.json";
  const qm::reader::Text text{std::string(cut < input.size() ? input.substr(cut + 1) : std::string_view())};

  const auto messages = codebuff::parse_file(path, text.view(), kFileTime, parser);
  std::vector<std::string> whole, alone;
  describe(messages, whole);
  for (const auto& m : messages) {
    FUZZ_CHECK(!m.model.empty() && m.record_id.starts_with("codebuff:" + m.session_key + ":"));
    const auto& t = m.tokens;
    FUZZ_CHECK(t.input || t.output || t.cache_creation || t.cache_read || m.reasoning || m.credits > 0);
  }

  simdjson::dom::array elements;
  if (auto doc = pieces.parse(text.view()); doc && !doc->get_array().get(elements))
    for (auto element : elements) {
      const qm::reader::Text one{"[" + fuzzing::json_text(element) + "]"};
      describe(codebuff::parse_file(path, one.view(), kFileTime, parser), alone);
    }
  FUZZ_CHECK(alone == whole);
  return 0;
}
