// Claude Code log lines: a file gives the records of its lines each read alone, and reading
// it again gives the same.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/claude/daily.h"
#include "pricing/table.h"
#include "support.h"

namespace {

using qm::claude::daily::DailyUsageRecord;

std::string describe(const DailyUsageRecord& r) {
  const auto& t = r.tokens;
  std::string split = t.cache_creation_split
                          ? fmt::format("{}/{}", t.cache_creation_split->ephemeral_5m, t.cache_creation_split->ephemeral_1h)
                          : "-";
  return fmt::format("{} {} {} {} {} {} {} | {} | {} | {} | {:a} | {} {} | {} {}", t.input, t.output, t.cache_creation,
                     t.cache_read, split, static_cast<int>(t.speed), r.has_speed, r.date, r.model ? *r.model : "-",
                     r.unpriced_model ? *r.unpriced_model : "-", r.cost, r.sidechain ? int(*r.sidechain) : -1,
                     r.message_id().value_or("-"), r.request_id() ? "+" : "-", r.request_id().value_or(""));
}

std::vector<std::string> describe(const std::expected<std::vector<DailyUsageRecord>, std::string>& records) {
  FUZZ_CHECK(records.has_value());  // a file that can be read is read
  std::vector<std::string> out;
  for (const auto& r : *records) out.push_back(describe(r));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const auto table = qm::pricing::load_price_table(true, false, {});
  // One reader per cost mode, as a worker reads file after file.
  static qm::claude::daily::FileReader readers[] = {
      {cctz::utc_time_zone(), qm::CostMode::Auto, &table},
      {cctz::utc_time_zone(), qm::CostMode::Calculate, &table},
      {cctz::utc_time_zone(), qm::CostMode::Display, nullptr},
  };
  auto& reader = readers[data[0] % 3];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  fuzzing::MemoryFile file(text);
  const auto whole = describe(reader.read(file.path()));
  FUZZ_CHECK(describe(reader.read(file.path())) == whole);

  std::vector<std::string> one_by_one;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    fuzzing::MemoryFile line(std::string_view(text).substr(start, end - start));
    for (auto& r : describe(reader.read(line.path()))) one_by_one.push_back(std::move(r));
    start = end + 1;
  }
  FUZZ_CHECK(one_by_one == whole);
  return 0;
}
