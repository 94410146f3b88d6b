#include "fast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

namespace qm::fast {
namespace {

// Against the standard library over texts of few letters (so that near misses abound), every
// start position and needles from one byte to longer than a vector; with the widest vectors
// the processor offers and with the narrowest.
TEST(Fast, FindRfindAndCountAgreeWithTheStandardLibrary) {
  struct Scans {
    std::size_t (*find)(std::string_view, std::string_view, std::size_t);
    std::size_t (*all)(std::string_view, std::string_view, std::size_t, std::span<std::size_t>);
    std::size_t (*last)(std::string_view, char);
    std::size_t (*count)(std::string_view, char, char);
  };
  for (const Scans& scan : {Scans{find_text, find_all, find_last, count_either},
                            Scans{narrow::find_text, narrow::find_all, narrow::find_last, narrow::count_either}}) {
    std::mt19937 rng(11);
    auto text_of = [&](std::size_t n) {
      std::string s;
      for (std::size_t i = 0; i < n; ++i) s += "\"ab:{["[rng() % 6];
      return s;
    };
    for (int round = 0; round < 300; ++round) {
      const std::string text = text_of(rng() % (round < 200 ? 70 : 9000));
      const std::string needle = round % 5 == 0 ? text.substr(text.size() / 2) : text_of(1 + rng() % 18);
      for (std::size_t from = 0; from <= text.size() + 1; from += round < 200 ? 1 : 1 + rng() % 97)
        ASSERT_EQ(scan.find(text, needle, from), std::string_view(text).find(needle, from))
            << "text " << text << " needle " << needle << " from " << from;
      // Every match, overlapping ones too, gathered a few at a time.
      std::vector<std::size_t> want, got;
      for (std::size_t at = std::string_view(text).find(needle); at != std::string_view::npos;
           at = std::string_view(text).find(needle, at + 1))
        want.push_back(at);
      std::array<std::size_t, 3> some;
      for (std::size_t from = 0, n = some.size(); n == some.size(); from = got.empty() ? 0 : got.back() + 1) {
        n = scan.all(text, needle, from, some);
        got.insert(got.end(), some.begin(), some.begin() + static_cast<std::ptrdiff_t>(n));
      }
      ASSERT_EQ(got, want) << "text " << text << " needle " << needle;
      for (char c : {'"', 'a', ':', 'z'}) ASSERT_EQ(scan.last(text, c), std::string_view(text).rfind(c)) << text;
      ASSERT_EQ(scan.count(text, '[', '{'),
                static_cast<std::size_t>(std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{')))
          << text;
    }
    EXPECT_EQ(scan.find("abc", "", 1), 1u);
    EXPECT_EQ(scan.find("abc", "", 4), std::string_view::npos);
    // A match that ends on the last byte, after whole vectors.
    const std::string tail = std::string(40, 'x') + "\"usage\":{";
    EXPECT_EQ(scan.find(tail, "\"usage\":{", 0), 40u);
    EXPECT_EQ(scan.last(tail, 'x'), 39u);
    // More hits than a byte lane holds.
    EXPECT_EQ(scan.count(std::string(100000, '{'), '[', '{'), 100000u);
  }
}

}  // namespace
}  // namespace qm::fast
