#include "kit/golden.h"

#include <cstdlib>

#include "kit/env.h"

namespace qm::kit {

std::string golden(const std::filesystem::path& path, const std::string& actual) {
  const auto file = std::filesystem::path(QM_SOURCE_DIR) / path;
  if (std::getenv("QM_UPDATE_GOLDEN")) write_file(file, actual);
  return read_file(file);
}

}  // namespace qm::kit
