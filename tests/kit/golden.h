#pragma once
// Expected outputs kept as files beside the tests.
#include <filesystem>
#include <string>

namespace qm::kit {

// The expected text in `path` (relative to the source tree). With QM_UPDATE_GOLDEN=1 in the
// environment, `actual` is written there first, so that the files follow a deliberate change.
std::string golden(const std::filesystem::path& path, const std::string& actual);

}  // namespace qm::kit
