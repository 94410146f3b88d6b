// Keys met by a reader: each is new once, however many blocks its copies fill.
#include "reader/seen.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::reader {
namespace {

TEST(SeenKeys, EachKeyIsNewOnceUntilCleared) {
  SeenKeys seen;
  std::vector<std::string> keys{"", "a", std::string(100'000, 'x'), std::string(100'000, 'y')};  // two beyond a block
  for (int i = 0; i < 20'000; ++i) keys.push_back("msg_" + std::to_string(i));  // several blocks of short keys
  for (const auto& k : keys) EXPECT_TRUE(seen.first(k)) << k.substr(0, 10);
  for (const auto& k : keys) {
    std::string copy = k;  // compared by content, not by where it lives
    EXPECT_FALSE(seen.first(copy)) << k.substr(0, 10);
  }
  seen.clear();
  EXPECT_TRUE(seen.first("a"));
  EXPECT_FALSE(seen.first("a"));
}

}  // namespace
}  // namespace qm::reader
