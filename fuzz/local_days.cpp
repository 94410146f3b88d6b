// Local dates through the per-thread day range are those of the zone's own conversion, for
// instants in any order, in zones with every kind of offset change.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <string>

#include "date_utils.h"
#include "support.h"

namespace {

constexpr std::array<const char*, 8> kZones = {
    "UTC",           "America/New_York", "Australia/Lord_Howe", "Pacific/Apia",
    "Asia/Kathmandu", "Europe/Dublin",   "America/Sao_Paulo",   "AAA1BBB,J100/1,J100/5",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZDIR", "/usr/share/zoneinfo", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  static std::array<std::optional<cctz::time_zone>, kZones.size()> zones;
  const auto which = input.ConsumeIntegralInRange<std::size_t>(0, kZones.size() - 1);
  if (!zones[which]) zones[which] = qm::date_utils::find_time_zone(std::string(kZones[which]));
  if (!zones[which]) return 0;  // a system without that zone
  qm::date_utils::LocalDays days(*zones[which]);
  // A start, then steps of either sign: near ones mostly, as the lines of a log go.
  std::int64_t ms = input.ConsumeIntegralInRange<std::int64_t>(-4'000'000'000'000, 8'000'000'000'000);
  while (input.remaining_bytes() > 0) {
    const auto step = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int64_t>(-90'000'000, 90'000'000)
                                          : input.ConsumeIntegralInRange<std::int64_t>(-4'000'000'000'000, 4'000'000'000'000);
    ms += step;
    FUZZ_CHECK(days.civil_date(ms) == qm::date_utils::local_civil_date(ms, *zones[which]));
  }
  return 0;
}
