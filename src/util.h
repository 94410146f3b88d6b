#pragma once
// Small helpers every reader and the core share: environment, texts, file walks.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::util {

// Value of an environment variable, or none when unset.
std::optional<std::string> env(const char* name);

// HOME, else USERPROFILE, else HOMEDRIVE + HOMEPATH; each only when not empty.
std::optional<std::string> home_dir();
inline constexpr std::string_view kNoHome = "home directory is not set";

// Trims Unicode white space at both ends.
std::string_view trim(std::string_view text);
// The length in bytes of the white-space character (Unicode White_Space) that starts `text`,
// or 0.
std::size_t space_at_front(std::string_view text);
// Unicode lowercase: character by character, but for the dotted capital I (an i and a
// combining dot) and a capital sigma that ends a word (the final form).
std::string lowercase(std::string_view text);

// Splits a directory list at ",", trims the pieces and drops the empty ones.
class EntrySplitter {
 public:
  explicit EntrySplitter(std::string_view text) : rest_(text) {}
  std::optional<std::string> next_nonempty_entry();

 private:
  std::string_view rest_;
  bool done_ = false;
};
std::vector<std::string> split_entries(std::string_view text);

std::optional<std::string> non_empty(std::optional<std::string> text);
std::string capitalize_first(std::string text);
// A to Z lowered to a to z; every other byte unchanged.
std::string ascii_lower(std::string_view text);
bool slice_contains(const std::vector<std::string>& list, std::string_view text);
bool is_valid_utf8(std::string_view text);
// The text with each maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// Unsigned 64-bit addition that stops at the largest value instead of wrapping.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Token counts add up this way everywhere: a sum past 2^64 - 1 stays there.
inline std::uint64_t saturating_sum(std::initializer_list<std::uint64_t> counts) {
  std::uint64_t sum = 0;
  for (std::uint64_t c : counts) sum = saturating_add(sum, c);
  return sum;
}

// An optional "+" followed by one or more ASCII digits, within 64 bits; anything else is none.
std::optional<std::uint64_t> parse_u64_decimal(std::string_view text);
// An optional sign followed by one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> parse_i64_decimal(std::string_view text);
// The whole text as a decimal floating-point number (optional sign, fraction and exponent;
// "inf" and "nan" too); no white space around it.
std::optional<double> parse_f64_decimal(std::string_view text);

// Float to integer with saturation at the type's ends; NaN gives 0.
std::uint64_t saturating_u64(double value);

// The operating system's text for an errno value (thread-safe).
std::string os_error(int err);

}  // namespace qm::util
