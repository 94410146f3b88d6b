// Amp threads: each ledger event (with the thread's messages beside it), or else each
// message, gives what it gives when it is the thread's only one; and again on a second
// reading.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/amp/amp.h"
#include "reader/values.h"
#include "reading.h"
#include "support.h"

namespace {

namespace amp = qm::amp;
using qm::reader::at;

void describe(const std::optional<amp::Thread>& thread, std::vector<std::string>& out) {
  if (!thread) return out.push_back("none");
  for (const auto& u : thread->usages) {
    const auto& t = u.tokens;
    out.push_back(fmt::format("{}|{}|{}|{}|{}|{}|{} {} {} {} {}", thread->id, u.record_id.value_or("-"),
                              u.credits ? fmt::format("{:a}", *u.credits) : "-", u.model, u.timestamp_text, u.time,
                              t.input, t.output, t.cache_creation, t.cache_read, u.reasoning));
  }
}

std::optional<amp::Thread> parse(const std::string& text, qm::json::StrictParser& parser) {
  const qm::reader::Text padded{text};
  return amp::parse_thread(padded.view(), parser);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser parser, pieces;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto thread = parse(text, parser);
  std::vector<std::string> whole, again, alone;
  describe(thread, whole);
  describe(parse(text, parser), again);
  FUZZ_CHECK(again == whole);
  if (!thread) return 0;

  // The same thread rebuilt around one event or message at a time.
  const qm::reader::Text padded{text};
  const auto doc = pieces.parse(padded.view());
  FUZZ_CHECK(doc.has_value());
  const std::string head = R"({"id":)" + fuzzing::json_text(*at(*doc, "id"));
  const auto messages = at(*doc, "messages");
  simdjson::dom::array list;
  if (auto events = at(*doc, {"usageLedger", "events"}); events && !events->get_array().get(list)) {
    const std::string tail = messages ? R"(,"messages":)" + fuzzing::json_text(*messages) + "}" : "}";
    for (auto event : list)
      describe(parse(head + R"(,"usageLedger":{"events":[)" + fuzzing::json_text(event) + "]}" + tail, parser), alone);
  } else if (messages && !messages->get_array().get(list)) {
    for (auto message : list) describe(parse(head + R"(,"messages":[)" + fuzzing::json_text(message) + "]}", parser), alone);
  }
  FUZZ_CHECK(alone == whole);
  return 0;
}
