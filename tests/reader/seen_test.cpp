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

// Going back to an earlier count forgets the keys met since, and only those.
TEST(SeenKeys, TruncatedKeysAreNewAgain) {
  SeenKeys seen;
  for (int i = 0; i < 5'000; ++i) EXPECT_TRUE(seen.first("k" + std::to_string(i)));
  for (std::size_t keep : {std::size_t{3'000}, std::size_t{0}}) {
    seen.truncate(keep);
    EXPECT_EQ(seen.size(), keep);
    for (int i = 0; i < 5'000; ++i)
      EXPECT_EQ(seen.first("k" + std::to_string(i)), static_cast<std::size_t>(i) >= keep) << keep << " " << i;
    EXPECT_EQ(seen.size(), 5'000u);
  }
}

// Keys are numbered in the order first met, however the table grew meanwhile (room made
// ahead among them).
TEST(SeenKeys, NumbersAndKeysOfKeysMet) {
  SeenKeys seen;
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 5'000; ++i) {
      if (i == 2'500) seen.reserve(round == 0 ? 100'000 : 10);
      const auto met = seen.meet("id-" + std::to_string(i));
      EXPECT_EQ(met.number, static_cast<std::size_t>(i));
      EXPECT_EQ(met.first, round == 0);
    }
  EXPECT_EQ(seen.key(0), "id-0");
  EXPECT_EQ(seen.key(4'999), "id-4999");
  EXPECT_FALSE(seen.first("id-17"));
}

// A key offered as a beginning and a rest is the key they join into, however it is split,
// and a truncated key can come again under its old beginning.
TEST(SeenKeys, KeysSplitAnywhereAreTheJoinedKey) {
  SeenKeys seen;
  const std::string db = "/home/u/.local/share/kilo/kilo.db:";
  auto first = [&](std::string_view prefix, std::string_view rest) {
    return seen.first(prefix, rest, SeenKeys::hash(std::string(prefix) + std::string(rest)));
  };
  EXPECT_TRUE(first(db, "msg_1"));
  EXPECT_FALSE(seen.first(db + "msg_1"));  // the same key, whole
  EXPECT_FALSE(first(db.substr(0, 5), db.substr(5) + "msg_1"));
  EXPECT_FALSE(first("", db + "msg_1"));
  EXPECT_TRUE(seen.first(db + "msg_2"));
  EXPECT_FALSE(first(db, "msg_2"));  // met whole, offered split
  EXPECT_TRUE(first(db, "msg_12"));
  EXPECT_TRUE(first(db + "m", "sg_3"));
  EXPECT_TRUE(first("other.db:", "msg_1"));
  EXPECT_TRUE(first(db, ""));
  EXPECT_FALSE(seen.first(db));
  EXPECT_EQ(seen.size(), 6u);
  seen.truncate(2);
  EXPECT_TRUE(first(db, "msg_12"));
  EXPECT_FALSE(first(db, "msg_1"));
  EXPECT_TRUE(first("other.db:", "msg_1"));
}

// A key hashed in parts has the hash of the whole, wherever the cuts fall; a key and that
// key with a zero byte more do not share one.
TEST(KeyHasher, PartsHashAsTheWholeKey) {
  const std::string key = "/home/u/.local/share/kilo/kilo.db:msg_0123456789";
  const std::uint64_t whole = SeenKeys::hash(key);
  for (std::size_t cut = 0; cut <= key.size(); ++cut)
    for (std::size_t second = cut; second <= key.size(); second += 3) {
      KeyHasher h;
      h.add(key.substr(0, cut)).add(key.substr(cut, second - cut));
      EXPECT_EQ(KeyHasher(h).add(key.substr(second)).done(), whole) << cut << " " << second;
    }
  for (std::size_t size = 0; size < 17; ++size) {
    const std::string k(size, 'k');
    EXPECT_NE(SeenKeys::hash(k), SeenKeys::hash(k + '\0')) << size;
  }
}

}  // namespace
}  // namespace qm::reader
