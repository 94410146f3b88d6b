// OpenClaw and pi session logs (the first byte chooses): a reader that read other files gives
// what a fresh one gives, whatever the size of its chunks, and so does the log cut into parts
// as the workers read it; every usage counts tokens under the agent's label; a log that can be
// read never fails. An OpenClaw log gives the same usages read in two parts put together, the
// second not knowing the model before it; a pi log gives the usages of its lines each read
// alone (a line that is not UTF-8 gives none).
#include <cstdint>
#include <string>

#include "adapter/openclaw/reader.h"
#include "adapter/pi/reader.h"
#include "reader/file_parts.h"
#include "reading.h"
#include "support.h"
#include "util.h"

namespace {

namespace session_log = qm::openclaw::session_log;

std::string describe_usages(const session_log::SessionLog& log) {
  std::string out;
  for (const auto& u : log.usages) {
    const auto& c = u.usage.counts;
    out += (u.model == qm::reader::Names::kNone ? std::string("-") : log.models[u.model]) + "|" +
           std::string(log.texts[u.timestamp_text]) + "|" + std::to_string(u.time) + "|" + std::to_string(c.input) + "," +
           std::to_string(c.output) + "," + std::to_string(c.cache_creation) + "," + std::to_string(c.cache_read) + "," +
           std::to_string(c.reasoning) + "|" + (u.usage.recorded_cost ? std::to_string(*u.usage.recorded_cost) : "-") +
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
    const auto& c = u.usage.counts;
    // Some count is not zero (a sum could wrap round to zero).
    FUZZ_CHECK((c.input | c.output | c.cache_creation | c.cache_read | c.reasoning) != 0);
    if (u.model != qm::reader::Names::kNone) FUZZ_CHECK(log.models[u.model].starts_with(label));
    if (u.usage.recorded_cost) FUZZ_CHECK(*u.usage.recorded_cost >= 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::uint64_t part_size = 1 + (size / 3) % 97;
  fuzzing::MemoryFile file(text);
  if (data[0] % 2) {
    static qm::openclaw::parser::FileReader reused;
    qm::openclaw::parser::FileReader fresh(1 + size % 61);
    const auto log = fresh.read(file.path());
    FUZZ_CHECK(describe(reused.read(file.path())) == describe(log));
    FUZZ_CHECK(log.has_value());
    for (const auto& u : log->usages) FUZZ_CHECK(u.model < log->models.size());
    check_usages(*log, "[openclaw] ");

    const auto lines = fuzzing::lines_of(text);
    const std::size_t cut = size % (lines.size() + 1);
    static qm::json::StrictParser parser;
    qm::openclaw::parser::PartLog head, tail;
    qm::openclaw::parser::LogFold first(head.log, 0, true), second(tail.log, 0, false);
    for (std::size_t i = 0; i < lines.size(); ++i) (i < cut ? first : second).line(lines[i].view(), parser);
    head.current = first.current();
    tail.current = second.current();
    qm::openclaw::parser::LogJoin join(std::move(head));
    join.add(std::move(tail));
    const session_log::SessionLog whole = join.take();
    // The file's time is that of the memory file; the parts were read with time 0.
    session_log::SessionLog at_zero;
    qm::openclaw::parser::LogFold all(at_zero, 0, true);
    for (const auto& line : lines) all.line(line.view(), parser);
    FUZZ_CHECK(describe_usages(whole) == describe_usages(at_zero));
    FUZZ_CHECK(at_zero.usages.size() == log->usages.size());

    auto read_part = [&](const std::filesystem::path& path, const qm::jsonl::FilePart& part,
                         const qm::reader::FileTime& time) { return reused.read(path, part, time.value_or(0)); };
    auto parts = qm::reader::read_in_parts<qm::openclaw::parser::LogJoin>(file.path(), part_size, read_part);
    FUZZ_CHECK(parts.has_value());
    FUZZ_CHECK(describe_usages(*parts) == describe_usages(*log));
  } else {
    static qm::pi::FileReader reused;
    qm::pi::FileReader fresh(1 + size % 61);
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

    auto read_part = [&](const std::filesystem::path& path, const qm::jsonl::FilePart& part,
                         const qm::reader::FileTime&) { return reused.read(path, part); };
    auto parts = qm::reader::read_in_parts<qm::pi::LogJoin>(file.path(), part_size, read_part);
    FUZZ_CHECK(parts.has_value());
    FUZZ_CHECK(describe_usages(*parts) == describe_usages(*log));
  }
  return 0;
}
