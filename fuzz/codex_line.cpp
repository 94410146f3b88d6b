// Codex rollout lines: a reader gives the same events for a file however many files it read
// before, as a fresh reader does; and the file read in parts (the first byte sets their
// size) gives them too.
#include <cstdint>
#include <string>

#include "adapter/codex/loader.h"
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
  FUZZ_CHECK(qm::codex::loader::read_in_parts(file.path(), part_size) == events);
  return 0;
}
