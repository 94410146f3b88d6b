// Codebuff chat documents (the first byte's low bit picks a chat directory named by its
// time): read without fault, the same messages from a parser that read other files before,
// each with usage and an id of its chat.
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "adapter/codebuff/parser.h"
#include "support.h"

namespace {
auto fields(const qm::codebuff::parser::CodebuffMessage& m) {
  return std::tie(m.tokens.input, m.tokens.output, m.tokens.cache_creation, m.tokens.cache_read, m.timestamp_text,
                  m.session_key, m.model, m.provider, m.record_id, m.timestamp, m.credits, m.reasoning);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser reused;
  const std::filesystem::path path = data[0] % 2 ? "/c/manicode/projects/p/chats/2025-01-15T10-30-45.123Z/chat-messages.json"
                                                 : "/c/manicode/projects/p/chats/c/chat-messages.json";
  std::string padded(reinterpret_cast<const char*>(data) + 1, size - 1);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size - 1);
  qm::json::StrictParser fresh;
  const auto messages = qm::codebuff::parser::parse_file(path, text, 1746093600000, fresh);
  const auto again = qm::codebuff::parser::parse_file(path, text, 1746093600000, reused);
  FUZZ_CHECK(again.size() == messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const auto& m = messages[i];
    FUZZ_CHECK(fields(again[i]) == fields(m));
    FUZZ_CHECK(m.record_id.starts_with("codebuff:" + m.session_key + ":") && !m.model.empty() && m.timestamp > 0);
    FUZZ_CHECK(m.tokens.input != 0 || m.tokens.output != 0 || m.tokens.cache_creation != 0 || m.tokens.cache_read != 0 ||
               m.reasoning != 0 || m.credits > 0);
  }
  return 0;
}
