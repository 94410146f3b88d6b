// POSIX TZ rules: every rule the parser accepts loads into cctz, and the zone gives, at
// each change and between changes, the offset, daylight flag and abbreviation that the
// rule's own changes give.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include "support.h"
#include "tz/posix_rule.h"

namespace {

using qm::tz::ZoneChange;

constexpr std::int64_t k1900 = -2208988800, k2100 = 4102444800;

// cctz keeps every zone it loads for the life of the process: past this many bytes of
// zones, rules are still parsed and checked, but no longer loaded.
std::int64_t zone_bytes_left = std::int64_t{1} << 30;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No zone file may answer for a rule: an empty zone directory.
  static char dir[] = "/tmp/tz-rule-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  setenv("TZDIR", dir, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 96) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto rule = qm::tz::parse_posix_rule(text);
  if (!rule) return 0;

  const auto changes = rule->daylight ? qm::tz::zone_changes(*rule, 2101) : std::vector<ZoneChange>{};
  auto offset = [&](bool daylight) { return daylight ? rule->daylight->offset : rule->offset; };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const bool before = i == 0 ? false : changes[i - 1].daylight;
    FUZZ_CHECK(changes[i].daylight != before);
    if (i > 0) {
      FUZZ_CHECK(changes[i].at > changes[i - 1].at);
      // The wall clock never turns back past a previous change.
      FUZZ_CHECK(changes[i].at + offset(changes[i].daylight) > changes[i - 1].at + offset(before));
    }
  }

  const std::int64_t cost = std::max<std::int64_t>(64 << 10, 6 * static_cast<std::int64_t>(qm::tz::tzif_image(*rule).size()));
  if (zone_bytes_left < cost) return 0;
  zone_bytes_left -= cost;
  cctz::time_zone zone;
  FUZZ_CHECK(cctz::load_time_zone(text, &zone));

  std::vector<std::int64_t> probes = {-5'000'000'000, k1900 - 1, 0, 1'000'000'000, k2100 - 1};
  for (const ZoneChange& c : changes)
    if (c.at > k1900 && c.at < k2100) probes.insert(probes.end(), {c.at - 1, c.at});
  for (std::int64_t t : probes) {
    const auto after = std::ranges::upper_bound(changes, t, {}, &ZoneChange::at);
    const bool daylight = after == changes.begin() ? qm::tz::daylight_all_year(*rule) : std::prev(after)->daylight;
    const auto local = zone.lookup(cctz::time_point<cctz::seconds>() + cctz::seconds(t));
    FUZZ_CHECK(local.offset == offset(daylight));
    FUZZ_CHECK(local.is_dst == daylight);
    FUZZ_CHECK(std::string(local.abbr) == (daylight ? rule->daylight->abbr : rule->abbr));
  }
  return 0;
}
