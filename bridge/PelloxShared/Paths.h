#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pellox::PelloxPaths {

inline constexpr std::string_view socketEnvVar = "PELLOX_SOCKET";
inline constexpr std::string_view defaultSocketPath = "~/Library/Application Support/Pellox/run/pellox.sock";

using Environment = std::map<std::string, std::string, std::less<>>;

// PELLOX_SOCKET when set and not empty, taken as it is; else the default path
// under the home directory (HOME when absolute, else the user database).
// Nothing when there is no home directory to put it under.
std::optional<std::string> socketPath(const Environment& environment);

}  // namespace pellox::PelloxPaths
