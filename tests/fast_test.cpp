#include "fast.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace qm::fast {
namespace {

// Against std::string_view over texts of few letters (so that near misses abound), every
// start position and needles from one byte to longer than a vector.
TEST(Fast, FindAndRfindAgreeWithTheStandardLibrary) {
  std::mt19937 rng(11);
  auto text_of = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += "\"ab:"[rng() % 4];
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    const std::string text = text_of(rng() % 70);
    const std::string needle = round % 5 == 0 ? text.substr(text.size() / 2) : text_of(1 + rng() % 18);
    for (std::size_t from = 0; from <= text.size() + 1; ++from)
      ASSERT_EQ(find_text(text, needle, from), std::string_view(text).find(needle, from))
          << "text " << text << " needle " << needle << " from " << from;
    for (char c : {'"', 'a', ':', 'z'}) ASSERT_EQ(find_last(text, c), std::string_view(text).rfind(c)) << text;
  }
  EXPECT_EQ(find_text("abc", "", 1), 1u);
  EXPECT_EQ(find_text("abc", "", 4), std::string_view::npos);
  // A match that ends on the last byte, after whole vectors.
  const std::string tail = std::string(40, 'x') + "\"usage\":{";
  EXPECT_EQ(find_text(tail, "\"usage\":{"), 40u);
  EXPECT_EQ(find_last(tail, 'x'), 39u);
}

}  // namespace
}  // namespace qm::fast
