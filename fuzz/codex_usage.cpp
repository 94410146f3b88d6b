// The ChatGPT backend's two Codex replies: the usage reply becomes a live reading and the
// daily breakdown becomes rows, whatever the body, with the shape the callers rely on.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "adapter/codex/live_usage.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  namespace live = qm::codex::live_usage;

  if (auto reading = live::parse_usage(body)) {
    FUZZ_CHECK(reading->limit_id == "codex");
    FUZZ_CHECK(!reading->plan_type.empty());
    FUZZ_CHECK(live::parse_usage(body) == reading);
  }

  auto rows = live::parse_daily_breakdown(body);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    if (i > 0) FUZZ_CHECK(rows[i - 1].date <= row.date);
    double surfaces = 0, models = 0;
    for (std::size_t j = 0; j < row.surfaces.size(); ++j) {
      const double v = row.surfaces[j].used_percent;
      FUZZ_CHECK(std::isfinite(v) && v > 0);
      if (j > 0) FUZZ_CHECK(row.surfaces[j - 1].used_percent >= v);
      surfaces += v;
    }
    for (std::size_t j = 0; j < row.models.size(); ++j) {
      const double v = row.models[j].used_percent;
      FUZZ_CHECK(std::isfinite(v) && v > 0);
      if (j > 0) FUZZ_CHECK(row.models[j - 1].used_percent >= v);
      models += v;
    }
    FUZZ_CHECK(row.used_percent == (row.surfaces.empty() ? models : surfaces));
  }
  return 0;
}
