// What a reader keeps of a file's usages: names numbered once, keys of several parts.
#include "reader/file_usage.h"

#include <gtest/gtest.h>

#include <cctz/time_zone.h>

#include <string>

namespace qm::reader {
namespace {

TEST(FileUsage, NamesAreNumberedOnceAndListModelsLookThemUpOnce) {
  Names names;
  const std::string long_name(100, 'm');
  EXPECT_EQ(names.id("a"), 0u);
  EXPECT_EQ(names.id(long_name), 1u);
  EXPECT_EQ(names.id("a"), 0u);
  for (int i = 0; i < 1000; ++i) names.id("n" + std::to_string(i));  // the first names stay where they are
  EXPECT_EQ(names.id(long_name), 1u);
  EXPECT_EQ(names[1], long_name);

  const cctz::time_zone utc = cctz::utc_time_zone();
  UsageList list(utc);
  list.model("other");
  ListModels models(names, list);
  EXPECT_EQ(models(Names::kNone), Usage::kNoModel);
  EXPECT_EQ(list.model_name(models(1)), long_name);
  EXPECT_EQ(models(1), list.model(long_name));
  const std::uint32_t later = names.id("later");  // a name met after the mapping was made
  EXPECT_EQ(list.model_name(models(later)), "later");
}

// No two lists of parts give the same bytes.
TEST(FileUsage, KeysOfSeveralParts) {
  auto key = [](auto fill) {
    KeyBytes k;
    fill(k);
    return std::string(k.view());
  };
  EXPECT_NE(key([](KeyBytes& k) { k.text("ab").text("c"); }), key([](KeyBytes& k) { k.text("a").text("bc"); }));
  EXPECT_NE(key([](KeyBytes& k) { k.text("").text("x"); }), key([](KeyBytes& k) { k.text("x").text(""); }));
  EXPECT_NE(key([](KeyBytes& k) { k.counts(Counts{1, 2, 0, 0, 0}); }), key([](KeyBytes& k) { k.counts(Counts{2, 1, 0, 0, 0}); }));
  EXPECT_EQ(key([](KeyBytes& k) { k.text("a").number(7); }), key([](KeyBytes& k) { k.text("a").number(7); }));
}

}  // namespace
}  // namespace qm::reader
