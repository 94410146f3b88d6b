// Codex rollout lines: a reader gives the same events for a file however many files it read
// before, as a fresh reader does.
#include <cstdint>
#include <string>

#include "adapter/codex/parser.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  static qm::codex::parser::RolloutReader reused;  // carries whatever the last input left
  fuzzing::MemoryFile file(text);
  qm::codex::parser::RolloutReader fresh;
  const auto events = qm::codex::parser::parse_rollout_file(file.path(), fresh);
  FUZZ_CHECK(qm::codex::parser::parse_rollout_file(file.path(), reused) == events);
  for (const auto& e : events) FUZZ_CHECK(!e.model.empty());
  return 0;
}
