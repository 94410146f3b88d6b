// Outside JSON held as a tree for writing back.
#include "json/tree.h"

#include <gtest/gtest.h>

namespace qm::json {
namespace {

TEST(JsonTree, KeepsEveryValueAndItsKind) {
  auto tree = parse_object_tree(
      " \n{\"z\":[1,-2,18446744073709551615,1.5,2.5e-3,true,null,\"é\"],\"a\":{\"k\":1,\"k\":2}}\t");
  ASSERT_TRUE(tree);
  EXPECT_TRUE((*tree)["z"][0].is_number_integer());
  EXPECT_TRUE((*tree)["z"][2].is_number_unsigned());
  EXPECT_TRUE((*tree)["z"][3].is_number_float());
  EXPECT_EQ(tree->dump(), R"({"a":{"k":2},"z":[1,-2,18446744073709551615,1.5,0.0025,true,null,"é"]})");
  for (const char* text : {"[1]", "\"x\"", "{", "{} {}", ""}) EXPECT_FALSE(parse_object_tree(text)) << text;
}

}  // namespace
}  // namespace qm::json
