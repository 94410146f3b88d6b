// Outside JSON held as a tree for writing back.
#include "json/tree.h"

#include <gtest/gtest.h>

#include "json/strict.h"

namespace qm::json {
namespace {

TEST(JsonTree, KeepsEveryValueAndItsKind) {
  StrictParser parser;
  auto root = parser.parse_copy(
      "{\"z\":[1,-2,18446744073709551615,1.5,2.5e-3,true,null,\"é\"],\"a\":{\"k\":1,\"k\":2}}\t");
  ASSERT_TRUE(root);
  const nlohmann::json tree = to_tree(*root);
  EXPECT_TRUE(tree["z"][0].is_number_integer());
  EXPECT_TRUE(tree["z"][2].is_number_unsigned());
  EXPECT_TRUE(tree["z"][3].is_number_float());
  EXPECT_EQ(tree.dump(), R"({"a":{"k":2},"z":[1,-2,18446744073709551615,1.5,0.0025,true,null,"é"]})");
}

}  // namespace
}  // namespace qm::json
