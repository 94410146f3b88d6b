// Codebuff chat documents. The first byte's low bit picks a chat directory named by its
// time; with its next bit set, the first line names the chat's directory instead. Read
// without fault, the same messages from a parser that read other files before, each with
// usage and an id of its chat; and each message gives what it gives as the only message of
// the file (its id apart: that may hold its place).
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "adapter/codebuff/reader.h"
#include "json/strict.h"
#include "reading.h"
#include "support.h"

namespace {
auto fields(const qm::codebuff::parser::CodebuffMessage& m) {
  return std::tie(m.tokens.input, m.tokens.output, m.tokens.cache_creation, m.tokens.cache_read, m.timestamp_text,
                  m.session_key, m.model, m.provider, m.timestamp, m.credits, m.reasoning);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser reused, pieces;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string chat = data[0] % 2 ? "2025-01-15T10-30-45.123Z" : "c";
  if (data[0] & 2) {
    const std::size_t cut = std::min(input.find('\n'), input.size());
    chat = input.substr(0, cut);
    for (char& c : chat)
      if (c == '/' || c == '\0') c = '_';
    input.remove_prefix(std::min(cut + 1, input.size()));
  }
  const std::filesystem::path path = "/c/manicode/projects/p/chats/" + chat + "/chat-messages.json";
  // The reader hands over whole files followed by the parser's padding.
  const qm::reader::Text text{std::string(input)};
  qm::json::StrictParser fresh;
  const auto messages = qm::codebuff::parser::parse_file(path, text.view(), 1746093600000, fresh);
  const auto again = qm::codebuff::parser::parse_file(path, text.view(), 1746093600000, reused);
  FUZZ_CHECK(again.size() == messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const auto& m = messages[i];
    FUZZ_CHECK(fields(again[i]) == fields(m) && again[i].record_id == m.record_id);
    FUZZ_CHECK(m.record_id.starts_with("codebuff:" + m.session_key + ":") && !m.model.empty());
    // A chat named by the input may name a time before 1970.
    if (!(data[0] & 2)) FUZZ_CHECK(m.timestamp > 0);
    FUZZ_CHECK(m.tokens.input != 0 || m.tokens.output != 0 || m.tokens.cache_creation != 0 || m.tokens.cache_read != 0 ||
               m.reasoning != 0 || m.credits > 0);
  }

  std::vector<qm::codebuff::parser::CodebuffMessage> alone;
  simdjson::dom::array elements;
  if (auto doc = pieces.parse(text.view()); doc && !doc->get_array().get(elements))
    for (auto element : elements)
      for (auto& m : qm::codebuff::parser::parse_file(path, qm::reader::Text("[" + fuzzing::json_text(element) + "]").view(),
                                                       1746093600000, reused))
        alone.push_back(std::move(m));
  FUZZ_CHECK(alone.size() == messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) FUZZ_CHECK(fields(alone[i]) == fields(messages[i]));
  return 0;
}
