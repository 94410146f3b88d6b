#include "log.h"

#include <cstdio>
#include <cstdlib>

#include "util.h"

namespace qm::log {

std::optional<std::uint8_t> parse_log_level(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

std::optional<std::uint8_t> log_level() {
  const char* v = std::getenv("LOG_LEVEL");
  if (!v || !util::is_valid_utf8(v)) return std::nullopt;
  return parse_log_level(v);
}

bool debug_enabled() {
  auto level = log_level();
  return level && *level > 3;
}

bool output_enabled() {
  auto level = log_level();
  return !level || *level != 0;
}

void debug_print(bool enabled, std::string_view message) {
  if (!enabled) return;
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
}

}  // namespace qm::log
