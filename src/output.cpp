#include "output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

#include "subprocess.h"
#include "util.h"

namespace qm::output {

nlohmann::json json_number(double x) {
  if (!std::isfinite(x)) return nullptr;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (x == std::trunc(x) && std::fabs(x) <= kTwo63) {
    if (x >= kTwo63) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(x);  // -2^63 is exact; -0.0 becomes 0
  }
  return x;
}

void strip_costs(nlohmann::json& value) {
  if (value.is_array()) {
    for (auto& item : value) strip_costs(item);
  } else if (value.is_object()) {
    value.erase("totalCost");
    value.erase("costUSD");
    value.erase("cost");
    for (auto& [key, member] : value.items()) strip_costs(member);
  }
}

std::string pretty(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string compact(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::expected<void, std::string> emit_json(nlohmann::json document, const std::optional<std::string>& jq_filter,
                                           bool strip) {
  if (strip) strip_costs(document);
  if (!jq_filter) {
    std::string text = pretty(document);
    text += '\n';
    std::fflush(stdout);
    if (!subprocess::write_all(1, text)) return std::unexpected(util::os_error(errno));
    return {};
  }
  std::fflush(stdout);
  auto child = subprocess::start("jq", {*jq_filter}, subprocess::Stream::Pipe, subprocess::Stream::Inherit, subprocess::Stream::Inherit);
  if (!child) return std::unexpected("failed to run jq: " + child.error());
  std::string text = compact(document);
  text += '\n';
  if (!subprocess::write_all(child->stdin_fd, text) && errno != EPIPE) {
    // Any other write error is ours to report; the child is left alone.
    return std::unexpected(util::os_error(errno));
  }
  // A broken pipe means jq stopped reading (a filter it rejected, say): its status decides.
  auto status = subprocess::wait(*child);
  if (!status) return std::unexpected(status.error());
  if (*status != 0) return std::unexpected(std::string("jq failed"));
  return {};
}

}  // namespace qm::output
