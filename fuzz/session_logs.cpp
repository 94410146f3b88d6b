// OpenClaw and pi session logs (the first byte chooses). An OpenClaw reader that read other
// files gives what a fresh one gives (each file starts with no model); a pi file gives the
// usages of its lines each read alone, and fails exactly when one of them does.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/openclaw/parser.h"
#include "adapter/pi/pi.h"
#include "reading.h"
#include "support.h"

namespace {

namespace session_log = qm::openclaw::session_log;

void describe(const std::expected<session_log::SessionLog, std::string>& log, std::vector<std::string>& out) {
  if (!log) {
    out.push_back("error: " + log.error());
    return;
  }
  for (const auto& u : log->usages) {
    const auto& t = u.usage.tokens;
    const auto& cost = u.usage.recorded_cost;
    out.push_back(fmt::format("{}|{}|{}|{}|{}|{}|{} {} {} {} {}|{}", log->project, log->session_id, u.model.value_or("-"),
                              u.provider.value_or("-"), u.timestamp_text, u.time, t.input, t.output, t.cache_creation,
                              t.cache_read, u.usage.reasoning, cost ? fmt::format("{:a}", *cost) : "-"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const fuzzing::MemoryFile file(text);
  std::vector<std::string> whole, again;
  if (data[0] % 2) {
    static qm::openclaw::parser::FileReader reused;
    qm::openclaw::parser::FileReader fresh;
    const auto log = fresh.read(file.path());
    FUZZ_CHECK(log.has_value());
    for (const auto& u : log->usages) FUZZ_CHECK(u.model && u.model->starts_with("[openclaw] "));
    describe(log, whole);
    describe(reused.read(file.path()), again);
    FUZZ_CHECK(again == whole);
    return 0;
  }
  static qm::pi::FileReader reader;
  describe(reader.read(file.path()), whole);
  std::vector<std::string> errors;
  for (const auto& line : fuzzing::lines_of(text)) {
    const fuzzing::MemoryFile one(line.view());
    auto log = reader.read(one.path());
    if (!log) errors.push_back("error: " + log.error());
    else {
      log->session_id = qm::pi::session_id(file.path());
      describe(log, again);
    }
  }
  if (!errors.empty()) again.assign(1, errors.front());
  FUZZ_CHECK(again == whole);
  return 0;
}
