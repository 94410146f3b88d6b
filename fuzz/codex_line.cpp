// Codex rollout lines: a reader gives the same events for a file however many files it read
// before, as a fresh reader does; and the file read in parts (the first byte sets their
// size) gives the day totals of one reading, or its error.
#include <cstdint>
#include <string>

#include "adapter/codex/aggregate.h"
#include "adapter/codex/parser.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t part_size = 1 + data[0] * 4;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  static qm::codex::parser::RolloutReader reused;  // carries whatever the last input left
  fuzzing::MemoryFile file(text);
  qm::codex::parser::RolloutReader fresh;
  const auto events = qm::codex::parser::parse_rollout_file(file.path(), fresh);
  FUZZ_CHECK(qm::codex::parser::parse_rollout_file(file.path(), reused) == events);
  for (const auto& e : events) FUZZ_CHECK(!e.model.empty());

  namespace agg = qm::codex::aggregate;
  static const auto options = qm::all::loader::make_load_options(qm::CommonOptions{});
  const std::vector<std::filesystem::path> files{file.path()};
  auto totals = [&](bool in_parts) {
    agg::SharedState shared(in_parts ? 4 : 1);
    auto r = in_parts ? agg::aggregate_files_parallel(files, options, shared, {.cut_above = 0, .part = part_size})
                      : agg::aggregate_files(files, options, shared);
    if (r) agg::merge_buckets(r->days, agg::count_pending_events(shared, 1));
    return r;
  };
  const auto whole = totals(false);
  const auto parts = totals(true);
  FUZZ_CHECK(whole.has_value() == parts.has_value());
  if (whole) {
    FUZZ_CHECK(parts->days == whole->days);
    FUZZ_CHECK(parts->saw_events == whole->saw_events);
    FUZZ_CHECK(parts->unread == whole->unread);
  } else {
    FUZZ_CHECK(parts.error() == whole.error());
  }
  return 0;
}
