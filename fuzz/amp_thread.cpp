// Amp thread documents: the same usages with a fresh parser as with one that parsed other
// documents; every usage has a model, tokens, and the time its text gives. Each ledger event
// (with the thread's messages beside it), or else each message, gives what it gives as the
// thread's only one.
#include <cstdint>
#include <string>

#include "adapter/amp/reader.h"
#include "date_utils.h"
#include "reader/values.h"
#include "reading.h"
#include "support.h"

namespace {

using qm::reader::at;

std::string describe_usages(const qm::amp::Thread& thread) {
  std::string out;
  for (const auto& u : thread.usages) {
    const auto& t = u.tokens;
    out += u.model + "|" + u.timestamp_text + "|" + std::to_string(u.time) + "|" + std::to_string(t.input) + "," +
           std::to_string(t.output) + "," + std::to_string(t.cache_creation) + "," + std::to_string(t.cache_read) + "," +
           std::to_string(u.reasoning) + "|" + u.record_id.value_or("-") + "|" +
           (u.credits ? std::to_string(*u.credits) : "-") + "\n";
  }
  return out;
}

std::string describe(const std::optional<qm::amp::Thread>& thread) {
  if (!thread) return "none";
  return thread->id + "\n" + describe_usages(*thread);
}

// The usages of a thread made of the given members.
std::string usages_of(const std::string& members, qm::json::StrictParser& parser) {
  const auto thread = qm::amp::parse_thread(qm::reader::Text("{" + members + "}").view(), parser);
  FUZZ_CHECK(thread.has_value());
  return describe_usages(*thread);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reader hands over whole files followed by the parser's padding.
  const qm::reader::Text text{std::string(reinterpret_cast<const char*>(data), size)};
  static qm::json::StrictParser reused, pieces;
  qm::json::StrictParser fresh;
  const auto thread = qm::amp::parse_thread(text.view(), fresh);
  FUZZ_CHECK(describe(qm::amp::parse_thread(text.view(), reused)) == describe(thread));
  if (!thread) return 0;
  FUZZ_CHECK(!thread->id.empty());
  for (const auto& u : thread->usages) {
    FUZZ_CHECK(!u.model.empty());
    FUZZ_CHECK(qm::date_utils::parse_timestamp_ms(u.timestamp_text) == u.time);
    // Some count is not zero (a sum could wrap round to zero).
    FUZZ_CHECK((u.tokens.input | u.tokens.output | u.tokens.cache_creation | u.tokens.cache_read | u.reasoning) != 0);
  }

  const auto doc = pieces.parse(text.view());
  FUZZ_CHECK(doc.has_value());
  const std::string id = R"("id":)" + fuzzing::json_text(*at(*doc, "id"));
  const auto messages = at(*doc, "messages");
  simdjson::dom::array list;
  std::string alone;
  if (auto events = at(*doc, {"usageLedger", "events"}); events && !events->get_array().get(list)) {
    const std::string beside = messages ? R"(,"messages":)" + fuzzing::json_text(*messages) : "";
    for (auto event : list)
      alone += usages_of(id + R"(,"usageLedger":{"events":[)" + fuzzing::json_text(event) + "]}" + beside, reused);
  } else if (messages && !messages->get_array().get(list)) {
    for (auto message : list) alone += usages_of(id + R"(,"messages":[)" + fuzzing::json_text(message) + "]", reused);
  }
  FUZZ_CHECK(alone == describe_usages(*thread));
  return 0;
}
