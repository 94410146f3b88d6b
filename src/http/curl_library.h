#pragma once

#include <optional>
#include <string>

namespace qm::http {

// Loads the HTTP library on first use; the reason when it cannot be loaded.
std::optional<std::string> curl_unavailable();

}  // namespace qm::http
