// Claude Code log lines: a file gives the replies of its lines each read alone (the records
// that de-duplication keeps of them), reading it again gives the same records, and so does
// reading it in parts (the second byte sets their size).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/claude/daily.h"
#include "pricing/table.h"
#include "support.h"

namespace {

using qm::claude::daily::DailyUsageRecord;
using qm::claude::daily::dedup_in_place;
using qm::claude::daily::dedup_records;

std::string describe(const DailyUsageRecord& r) {
  const auto& t = r.tokens;
  std::string split = t.cache_creation_split
                          ? fmt::format("{}/{}", t.cache_creation_split->ephemeral_5m, t.cache_creation_split->ephemeral_1h)
                          : "-";
  return fmt::format("{} {} {} {} {} {} {} | {} | {} | {} | {:a} | {} {} | {} {}", t.input, t.output, t.cache_creation,
                     t.cache_read, split, static_cast<int>(t.speed), r.has_speed, r.date(), r.model ? *r.model : "-",
                     r.unpriced, r.cost, r.sidechain ? int(*r.sidechain) : -1,
                     r.message_id().value_or("-"), r.request_id() ? "+" : "-", r.request_id().value_or(""));
}

std::vector<std::string> describe(const std::vector<DailyUsageRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(describe(r));
  return out;
}

std::vector<DailyUsageRecord> read(qm::claude::daily::FileReader& reader, const std::string& path,
                                   const qm::jsonl::FilePart& part = {}) {
  auto records = reader.read(path, part);
  FUZZ_CHECK(records.has_value());  // a file that can be read is read
  return std::move(*records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const auto table = qm::pricing::load_price_table(true, false, {});
  // One reader per cost mode, as a worker reads file after file.
  static qm::claude::daily::FileReader readers[] = {
      {cctz::utc_time_zone(), qm::CostMode::Auto, &table},
      {cctz::utc_time_zone(), qm::CostMode::Calculate, &table},
      {cctz::utc_time_zone(), qm::CostMode::Display, nullptr},
  };
  auto& reader = readers[data[0] % 3];
  const std::uint64_t part_size = 1 + data[1] * 2;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

  fuzzing::MemoryFile file(text);
  const auto records = read(reader, file.path());
  const auto whole = describe(records);
  FUZZ_CHECK(describe(read(reader, file.path())) == whole);
  const auto kept = describe(dedup_records(records));

  std::vector<DailyUsageRecord> one_by_one;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    fuzzing::MemoryFile line(std::string_view(text).substr(start, end - start));
    for (auto& r : read(reader, line.path())) one_by_one.push_back(std::move(r));
    start = end + 1;
  }
  FUZZ_CHECK(one_by_one.size() >= records.size());
  FUZZ_CHECK(describe(dedup_records(std::move(one_by_one))) == kept);

  // Parts read last first, their lists handed to de-duplication in part order.
  const int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  const auto parts = qm::jsonl::cut_file(fd, text.size(), part_size);
  std::vector<std::vector<DailyUsageRecord>> lists(parts.size());
  for (std::size_t k = parts.size(); k-- > 0;) lists[k] = read(reader, file.path(), parts[k]);
  ::close(fd);
  std::vector<DailyUsageRecord> in_parts;
  for (const auto* r : dedup_in_place(lists, 1 + data[1] % 4)) in_parts.push_back(*r);
  FUZZ_CHECK(describe(in_parts) == kept);
  return 0;
}
