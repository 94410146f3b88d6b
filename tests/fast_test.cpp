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

// Against a plain loop over texts made of the escape's bytes and their neighbours, at every
// start; with the widest vectors and with the narrowest.
TEST(Fast, NameEscapesAgreeWithAPlainLoop) {
  auto plain = [](std::string_view t, std::size_t from) {
    for (std::size_t i = from; i + 5 <= t.size(); ++i)
      if (t.substr(i, 4) == "\\u00" && (t[i + 4] == '2' || (t[i + 4] >= '4' && t[i + 4] <= '7'))) return i;
    return std::string_view::npos;
  };
  for (auto scan : {find_name_escape, narrow::find_name_escape}) {
    std::mt19937 rng(5);
    for (int round = 0; round < 400; ++round) {
      std::string text;
      const std::size_t n = rng() % (round < 300 ? 80 : 3000);
      // Mostly whole escapes, so that every digit after "\u00" is met.
      while (text.size() < n) text += rng() % 3 ? std::string("\\u00") + "0123456789abc"[rng() % 13] : std::string(1, "\\u0x"[rng() % 5]);
      for (std::size_t from = 0; from <= text.size() + 1; ++from)
        ASSERT_EQ(scan(text, from), plain(text, from)) << text << " from " << from;
    }
    EXPECT_EQ(scan("\\u00", 0), std::string_view::npos);  // cut short
    EXPECT_EQ(scan("\\u004", 0), 0u);
    EXPECT_EQ(scan(std::string(100, 'x') + "\\u0041", 0), 100u);
  }
}

}  // namespace
}  // namespace qm::fast
