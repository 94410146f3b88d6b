// Amp thread documents: the same usages with a fresh parser as with one that parsed other
// documents; every usage has a model, tokens, and the time its text gives.
#include <cstdint>
#include <string>

#include "adapter/amp/amp.h"
#include "date_utils.h"
#include "support.h"

namespace {

std::string describe(const std::optional<qm::amp::Thread>& thread) {
  if (!thread) return "none";
  std::string out = thread->id + "\n";
  for (const auto& u : thread->usages) {
    const auto& t = u.tokens;
    out += u.model + "|" + u.timestamp_text + "|" + std::to_string(u.time) + "|" + std::to_string(t.input) + "," +
           std::to_string(t.output) + "," + std::to_string(t.cache_creation) + "," + std::to_string(t.cache_read) + "," +
           std::to_string(u.reasoning) + "|" + u.record_id.value_or("-") + "|" +
           (u.credits ? std::to_string(*u.credits) : "-") + "\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reader hands over whole files followed by the parser's padding.
  std::string padded(reinterpret_cast<const char*>(data), size);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size);
  static qm::json::StrictParser reused;
  qm::json::StrictParser fresh;
  const auto thread = qm::amp::parse_thread(text, fresh);
  FUZZ_CHECK(describe(qm::amp::parse_thread(text, reused)) == describe(thread));
  if (!thread) return 0;
  FUZZ_CHECK(!thread->id.empty());
  for (const auto& u : thread->usages) {
    FUZZ_CHECK(!u.model.empty());
    FUZZ_CHECK(qm::date_utils::parse_timestamp_ms(u.timestamp_text) == u.time);
    FUZZ_CHECK(u.tokens.input + u.tokens.output + u.tokens.cache_creation + u.tokens.cache_read + u.reasoning > 0);
  }
  return 0;
}
