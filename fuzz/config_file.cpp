// The configuration file: any bytes are read, or passed over, and layered without fault;
// the same file gives the same options again.
#include <cstdint>
#include <string>

#include "config.h"
#include "support.h"

namespace {

qm::CommonOptions options_from(const std::string& path, const char* command) {
  qm::CommonOptions options;
  if (auto config = qm::config::load_config({"--config", path})) qm::config::apply_config(*config, command, options);
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
  for (const char* command : {"summary", "harness"}) FUZZ_CHECK(options_from(file.path(), command) == options_from(file.path(), command));
  return 0;
}
