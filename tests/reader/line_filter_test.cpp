// The tests that let a reader pass over a JSON line unparsed.
#include "reader/line_filter.h"

#include <gtest/gtest.h>

#include <string>

namespace qm::reader {
namespace {

// A name spelt with escapes is the same name to the parser: a line that may hold such an
// escape is never passed over for lack of the plain name.
TEST(LineFilter, EscapesThatMaySpellNames) {
  struct Case {
    std::string line;
    bool may;
  } cases[] = {
      {R"({"mo\u0064el":1})", true},
      {R"({"a\u005Fb":1})", true},   // '_', upper-case digits
      {R"({"a\u002eb":1})", true},   // '.'
      {R"({"x":"\u00e9\u001b[1m\u0022\u0031"})", false},  // accents, colours, quotes, digits
      {R"({"x":"\u004")", false},    // cut short
      {R"({"x":"\u00)", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(may_spell_names(c.line), c.may) << c.line;
  // Many escapes of other characters before the one that counts.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "\\u00e9";
  EXPECT_FALSE(may_spell_names(many));
  EXPECT_TRUE(may_spell_names(many + "\\u0041"));

  EXPECT_TRUE(may_name(R"({"model":1})", {"usage\"", "model\""}));
  EXPECT_FALSE(may_name(R"({"models":1,"x":"\"model\"","y":"model\""})", {"model\""}));
  EXPECT_TRUE(may_name(R"({"\u006dodel":1})", {"model\""}));
  EXPECT_TRUE(may_name(R"({"gen_ai.usage.input_tokens":1})", {"gen_ai.usage."}));
  // Many places that hold the text, the one after a quote last.
  std::string texts;
  for (int i = 0; i < 40; ++i) texts += "xmodel\" ";
  EXPECT_FALSE(mentions_quoted(texts, "model\""));
  EXPECT_TRUE(mentions_quoted(texts + "\"model\"", "model\""));
}

}  // namespace
}  // namespace qm::reader
