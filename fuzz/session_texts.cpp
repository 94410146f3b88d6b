// The texts of Goose's and Hermes's session rows that decide a time and a price name
// (the first byte chooses): read without fault; a time given as a number is after 1970; a
// date alone is a midnight; a time reads back from its canonical text; the price names end
// with the model itself.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/goose/reader.h"
#include "adapter/hermes/reader.h"
#include "date_utils.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      const auto ms = qm::goose::parser::created_at_ms(text);
      const std::string_view unsigned_part = text.substr(!text.empty() && (text[0] == '+' || text[0] == '-'));
      const bool integer =
          !unsigned_part.empty() && unsigned_part.find_first_not_of("0123456789") == std::string_view::npos;
      if (ms && integer) FUZZ_CHECK(*ms > 0);
      if (ms && text.size() == 10 && text[4] == '-' && text[7] == '-') FUZZ_CHECK(*ms % 86'400'000 == 0);
      // An instant read reads back from its canonical text (when the year has four digits).
      if (ms) {
        const std::string canonical = qm::date_utils::format_timestamp_ms(*ms);
        if (qm::date_utils::parse_timestamp_ms(canonical)) FUZZ_CHECK(qm::goose::parser::created_at_ms(canonical) == ms);
      }
      break;
    }
    case 1: {  // model, a NUL, then the provider column
      const auto cut = text.find('\0');
      const std::string_view model = text.substr(0, cut);
      std::optional<std::string_view> provider;
      if (cut != std::string_view::npos) provider = text.substr(cut + 1);
      FUZZ_CHECK(!qm::goose::parser::provider_for(model, provider).empty());
      break;
    }
    default: {  // model, a NUL, then the billing provider
      const auto cut = text.find('\0');
      const std::string_view model = text.substr(0, cut);
      std::optional<std::string_view> billing;
      if (cut != std::string_view::npos) billing = text.substr(cut + 1);
      const auto names = qm::hermes::price_candidates(model, qm::hermes::price_prefix(model, billing));
      FUZZ_CHECK(!names.empty() && names.back() == model);
      break;
    }
  }
  return 0;
}
