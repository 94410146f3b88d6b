// The indexed document the bridge forwards must write exactly what the tree
// reader and writer give, for every text, without building the tree.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "PelloxShared/JSONDocument.h"
#include "PelloxShared/JSONValue.h"
#include "PelloxShared/JSONWriter.h"

namespace pellox {
namespace {

std::string written(const JSONDocument& document) {
  JSONWriter out;
  document.write(out);
  return out.text();
}

TEST(JSONDocumentText, WritesWhatTheTreeWrites) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {R"( {"b" : 1, "a" : {"d":[{"z":1,"y":2}], "c":null}} )", R"({"a":{"c":null,"d":[{"y":2,"z":1}]},"b":1})"},
      // A repeated key keeps its last value, in an ordered object as in another.
      {R"({"b":1,"a":2,"b":3,"a":4})", R"({"a":4,"b":3})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"([{"a":1,"a":{"y":1,"x":2}}])", R"([{"a":{"x":2,"y":1}}])"},
      // Keys sort by their bytes once decoded.
      {R"({"b":1,"\u0061":2,"\u00e9":3,"z":4,"\ud83d\ude80":5,"Z":6})",
       "{\"Z\":6,\"a\":2,\"b\":1,\"z\":4,\"\xC3\xA9\":3,\"\xF0\x9F\x9A\x80\":5}"},
      {R"({"a\"b":1,"a":2,"a\u0000":3})", "{\"a\":2,\"a\\u0000\":3,\"a\\\"b\":1}"},
      // Escapes come out in one form; slashes and DEL are written as they are.
      {R"(["\/\\\"\b\f\n\r\t","\u0001\u001F\u0008\u000a\u007f\u00e9\u20AC","a/b\ud83d\ude80"])",
       "[\"/\\\\\\\"\\b\\f\\n\\r\\t\",\"\\u0001\\u001f\\b\\n\x7F\xC3\xA9\xE2\x82\xAC\",\"a/b\xF0\x9F\x9A\x80\"]"},
      {R"([0,-0,-7,2.50,1e3,1E-5,-0.0,9223372036854775807,-9223372036854775808,9223372036854775808,)"
       R"(18446744073709551616,-9223372036854775809,1e-400,0.1,123456789012345678901234567890])",
       "[0,0,-7,2.5,1000.0,1e-05,-0.0,9223372036854775807,-9223372036854775808,9.223372036854776e+18,"
       "1.8446744073709552e+19,-9.223372036854776e+18,0.0,0.1,1.2345678901234568e+29]"},
      {"\xEF\xBB\xBF {\"a\":[ ],\"b\":{ }}\r\n\t", R"({"a":[],"b":{}})"},
      {R"("top")", R"("top")"},
      {"true", "true"},
      {" 12 ", "12"},
      {"{}", "{}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(writeJSON(readJSON(c.in)), c.out) << c.in;
    EXPECT_EQ(written(JSONDocument::read(c.in)), c.out) << c.in;
  }
}

// Random texts of every shape: unsorted and repeated keys at every depth,
// escaped keys, whitespace everywhere.
class TextMaker {
 public:
  explicit TextMaker(unsigned seed) : random_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 4 ? 5 : 8)) {
      case 0:
        return "null";
      case 1:
        return pick(2) ? "true" : "false";
      case 2:
        return number();
      case 3:
      case 4:
        return string();
      case 5:
      case 6:
        return container(depth, '{', '}');
      default:
        return container(depth, '[', ']');
    }
  }

 private:
  unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

  std::string space() {
    static const char* forms[] = {"", "", "", " ", "\n\t", "\r\n  "};
    return forms[pick(6)];
  }

  std::string number() {
    static const char* forms[] = {
        "0", "-0", "7", "-42", "1.5", "2.0", "1e3", "-1E-2", "1e-400", "9223372036854775808", "0.30000000000000004"};
    return forms[pick(11)];
  }

  std::string string() {
    static const char* pieces[] = {"a",       "b",    "k",    "B",       "\\u0061",  "\\/",
                                   "\\n",     "\\\"", "\\\\", "\\u00e9", "\xC3\xA9", "\\ud83d\\ude80",
                                   "\\u0001", "/",    " "};
    std::string out = "\"";
    for (unsigned n = pick(4); n > 0; --n) out += pieces[pick(15)];
    return out + "\"";
  }

  std::string container(int depth, char open, char close) {
    std::string out(1, open);
    const unsigned count = pick(5);
    for (unsigned i = 0; i < count; ++i) {
      if (i > 0) out += ",";
      out += space();
      if (open == '{') out += string() + space() + ":" + space();
      out += value(depth + 1) + space();
    }
    return out + close;
  }

  std::mt19937 random_;
};

TEST(JSONDocumentText, RandomTextsWriteAndReadLikeTheTree) {
  TextMaker maker(20240611);
  for (int i = 0; i < 3000; ++i) {
    const std::string text = maker.value(0);
    const JSONValue tree = readJSON(text);
    const JSONDocument document = JSONDocument::read(text);
    ASSERT_EQ(written(document), writeJSON(tree)) << text;
    ASSERT_EQ(document.isObject(), tree.isObject()) << text;
    if (const auto* object = tree.objectValue()) {
      for (const auto& [key, member] : *object) {
        const auto memberText = document.memberText(key);
        ASSERT_TRUE(memberText) << text << " key " << key;
        EXPECT_EQ(readJSON(*memberText), member) << text << " key " << key;
      }
    }
  }
}

TEST(JSONDocumentText, MemberTextIsTheLastValueAsWritten) {
  const JSONDocument event =
      JSONDocument::read(R"({"tool_input" : [1, {"b":"}]"}] , "n":1,"\u0074ool_name":"Bash", "n" : {"x" : 2} })");
  EXPECT_EQ(event.memberText("tool_input"), R"([1, {"b":"}]"}])");
  EXPECT_EQ(event.memberText("tool_name"), R"("Bash")");
  EXPECT_EQ(event.memberText("n"), R"({"x" : 2})");
  EXPECT_EQ(event.memberText("missing"), std::nullopt);
  EXPECT_EQ(event.memberText("b"), std::nullopt);

  EXPECT_EQ(JSONDocument::read(R"([{"a":1}])").memberText("a"), std::nullopt);
  EXPECT_EQ(JSONDocument::read("{}").memberText(""), std::nullopt);
}

TEST(JSONDocumentText, WrittenInPiecesToASink) {
  // Many small values, then a string larger than a piece, in an unsorted object.
  std::string small;
  for (int i = 0; i < 30000; ++i) small += "1,";
  const std::string text = R"({"z":[)" + small + R"(1],"a":")" + std::string(3 * JSONWriter::pieceBytes, 'x') + R"("})";
  std::string received;
  std::size_t pieces = 0;
  JSONWriter out([&](std::string_view bytes) {
    received += bytes;
    ++pieces;
  });
  JSONDocument::read(text).write(out);
  out.flush();
  EXPECT_EQ(received, writeJSON(readJSON(text)));
  EXPECT_GT(pieces, 2u);
}

}  // namespace
}  // namespace pellox
