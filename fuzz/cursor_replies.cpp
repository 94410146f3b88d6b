// The Cursor dashboard's two account replies (current period, then limits and grants, one
// per line) read into the account figures without fault.
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "adapter/cursor/account.h"
#include "json/strict.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = std::min(text.find('\n'), text.size());
  static qm::json::StrictParser period_parser, limits_parser;
  const auto period = period_parser.parse_copy(text.substr(0, cut));
  const auto limits = limits_parser.parse_copy(cut < text.size() ? text.substr(cut + 1) : std::string_view());
  (void)qm::cursor::account::account_from_replies(period, limits);
  return 0;
}
