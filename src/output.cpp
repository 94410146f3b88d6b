#include "output.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

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

namespace {

// `x` as the JSON library lays a float out (at most 15 digits before the point, "0.000ddd"
// down to 1e-4, else "d.ddde+XX"), but with the shortest digits that read back as `x`.
void append_float(std::string& out, double x) {
  if (std::signbit(x)) {
    out += '-';
    x = -x;
  }
  if (x == 0) {
    out += "0.0";
    return;
  }
  char buf[32];
  const auto written = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  const std::string_view sci(buf, static_cast<std::size_t>(written - buf));  // "d[.ddd]e[+-]XX"
  const std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exponent);
  if (sci[e + 1] == '-') exponent = -exponent;

  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;  // position of the point after the first digit
  if (k <= n && n <= 15) {
    out += digits;
    out.append(static_cast<std::size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= 15) {
    out.append(digits, 0, static_cast<std::size_t>(n));
    out += '.';
    out.append(digits, static_cast<std::size_t>(n));
  } else if (-4 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  }
}

// The library's float digits always read back, but are not always the shortest
// (240.92286 comes out as 240.92285999999999): every float of the text is written again.
std::string with_shortest_floats(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (text[j] != '"') j += text[j] == '\\' ? 2 : 1;
      out.append(text, i, j + 1 - i);
      i = j + 1;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t j = i + 1;
      bool is_float = false;
      for (; j < text.size(); ++j) {
        const char d = text[j];
        if (d == '.' || d == 'e' || d == 'E') is_float = true;
        else if (d != '-' && d != '+' && (d < '0' || d > '9')) break;
      }
      double x = 0;
      if (is_float && std::from_chars(text.data() + i, text.data() + j, x).ec == std::errc())
        append_float(out, x);
      else
        out.append(text, i, j - i);
      i = j;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string pretty(const nlohmann::json& document) {
  return with_shortest_floats(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string compact(const nlohmann::json& document) {
  return with_shortest_floats(document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::expected<void, std::string> print(std::string_view text) {
  if (std::fflush(stdout) != 0 || !subprocess::write_all(1, text)) return std::unexpected(util::os_error(errno));
  return {};
}

std::expected<void, std::string> emit_json(nlohmann::json document, const std::optional<std::string>& jq_filter,
                                           bool strip) {
  if (strip) strip_costs(document);
  if (!jq_filter) {
    std::string text = pretty(document);
    text += '\n';
    return print(text);
  }
  std::fflush(stdout);
  auto child = subprocess::start("jq", {*jq_filter}, subprocess::Stream::Pipe, subprocess::Stream::Inherit, subprocess::Stream::Inherit);
  if (!child) return std::unexpected("failed to run jq: " + child.error());
  std::string text = compact(document);
  text += '\n';
  if (!subprocess::write_all(child->stdin_fd, text)) {
    const int err = errno;
    // Any other write error is ours to report; the child is left alone.
    if (err != EPIPE) return std::unexpected(util::os_error(err));
    // jq stopped reading: a filter it rejected is "jq failed"; even when it ends well, it
    // has seen only part of the document, so the run fails all the same.
    auto status = subprocess::wait(*child);
    if (status && *status != 0) return std::unexpected(std::string("jq failed"));
    return std::unexpected(util::os_error(err));
  }
  auto status = subprocess::wait(*child);
  if (!status) return std::unexpected(status.error());
  if (*status != 0) return std::unexpected(std::string("jq failed"));
  return {};
}

}  // namespace qm::output
