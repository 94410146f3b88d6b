// OpenClaw and pi session logs (the first byte chooses): a reader that read other files gives
// what a fresh one gives; every usage counts tokens under the agent's label; a log that can be
// read never fails, and a pi log gives the usages of its lines each read alone (a line that
// is not UTF-8 gives none).
#include <cstdint>
#include <string>

#include "adapter/openclaw/parser.h"
#include "adapter/pi/pi.h"
#include "reading.h"
#include "support.h"
#include "util.h"

namespace {

namespace session_log = qm::openclaw::session_log;

std::string describe_usages(const session_log::SessionLog& log) {
  std::string out;
  for (const auto& u : log.usages) {
    const auto& t = u.usage.tokens;
    out += u.model.value_or("-") + "|" + u.provider.value_or("-") + "|" + u.timestamp_text + "|" +
           std::to_string(u.time) + "|" + std::to_string(t.input) + "," + std::to_string(t.output) + "," +
           std::to_string(t.cache_creation) + "," + std::to_string(t.cache_read) + "," +
           std::to_string(u.usage.reasoning) + "|" + (u.usage.recorded_cost ? std::to_string(*u.usage.recorded_cost) : "-") +
           "\n";
  }
  return out;
}

std::string describe(const std::expected<session_log::SessionLog, std::string>& log) {
  if (!log) return "error: " + log.error();
  return log->project + "|" + log->session_id + "\n" + describe_usages(*log);
}

void check_usages(const session_log::SessionLog& log, std::string_view label) {
  for (const auto& u : log.usages) {
    const auto& t = u.usage.tokens;
    // Some count is not zero (a sum could wrap round to zero).
    FUZZ_CHECK((t.input | t.output | t.cache_creation | t.cache_read | u.usage.reasoning) != 0);
    if (u.model) FUZZ_CHECK(u.model->starts_with(label));
    if (u.usage.recorded_cost) FUZZ_CHECK(*u.usage.recorded_cost >= 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  fuzzing::MemoryFile file(text);
  if (data[0] % 2) {
    static qm::openclaw::parser::FileReader reused;
    qm::openclaw::parser::FileReader fresh;
    const auto log = fresh.read(file.path());
    FUZZ_CHECK(describe(reused.read(file.path())) == describe(log));
    FUZZ_CHECK(log.has_value());
    for (const auto& u : log->usages) FUZZ_CHECK(u.model.has_value());
    check_usages(*log, "[openclaw] ");
  } else {
    static qm::pi::FileReader reused;
    qm::pi::FileReader fresh;
    const auto log = fresh.read(file.path());
    FUZZ_CHECK(describe(reused.read(file.path())) == describe(log));
    FUZZ_CHECK(log.has_value());
    check_usages(*log, "[pi] ");
    std::string one_by_one;
    for (const auto& line : fuzzing::lines_of(text)) {
      fuzzing::MemoryFile alone(line.view());
      const auto read = reused.read(alone.path());
      FUZZ_CHECK(read.has_value());
      if (!qm::util::is_valid_utf8(line.view())) FUZZ_CHECK(read->usages.empty());
      one_by_one += describe_usages(*read);
    }
    FUZZ_CHECK(one_by_one == describe_usages(*log));
  }
  return 0;
}
