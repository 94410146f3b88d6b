#include "json/strict.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "jsonl_reader.h"
#include "kit/env.h"

namespace qm::json {
namespace {

TEST(StrictJson, DepthIsTheParsersOwnLimitOrTheFormats) {
  StrictParser p;
  // Depth counts every container, the innermost one too, whether it is empty or not.
  auto nested = [](std::size_t depth, std::string inner) {
    return std::string(depth - 1, '[') + inner + std::string(depth - 1, ']');
  };
  for (std::string inner : {"[]", "[1]", "{}", "{\"a\":1}", "[\"[[[[\"]"}) {
    auto at_limit = p.parse_copy(nested(128, inner));
    ASSERT_TRUE(at_limit) << inner;
    EXPECT_FALSE(nested_deeper_than(nested(128, inner), *at_limit, 128)) << inner;
    auto beyond = p.parse_copy(nested(129, inner));
    ASSERT_TRUE(beyond) << inner;  // valid JSON: only a format that sets a limit refuses it
    EXPECT_TRUE(nested_deeper_than(nested(129, inner), *beyond, 128)) << inner;
    EXPECT_TRUE(p.parse_copy(nested(kParserDepth - 1, inner))) << inner;
    EXPECT_FALSE(p.parse_copy(nested(kParserDepth + 1, inner))) << inner;
  }
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "{\"b\":1}" + std::string(127, '}');
  EXPECT_FALSE(nested_deeper_than(objects, *p.parse_copy(objects), 128));
  const std::string deeper = "{\"x\":" + objects + "}";
  EXPECT_TRUE(nested_deeper_than(deeper, *p.parse_copy(deeper), 128));

  // The parser's own check, which mostly goes by the size of what it parsed, agrees: at the
  // limit and one beyond (where that size is just too large to tell), for wide documents that
  // are not deep, and for one whose numbers were rewritten to be read.
  std::string wide = "[";
  for (int i = 0; i < 300; ++i) wide += "[],";
  wide += "{\"[\":\"{{{{\"}]";
  const std::string wide_numbers = nested(129, "[18446744073709551616,1e400]");
  for (const auto& [text, deep] : std::vector<std::pair<std::string, bool>>{
           {nested(128, "[]"), false}, {nested(129, "[]"), true}, {nested(128, "{}"), false}, {nested(129, "{}"), true},
           {nested(128, "[1,2,3]"), false}, {objects, false}, {deeper, true}, {wide, false}, {"[[]]", false},
           {"1", false}, {wide_numbers, true}, {nested(128, "[18446744073709551616]"), false}}) {
    auto root = p.parse_copy(text);
    ASSERT_TRUE(root) << text;
    EXPECT_EQ(p.nested_deeper_than(text, *root, 128), deep) << text;
    EXPECT_EQ(nested_deeper_than(text, *root, 128), deep) << text;
  }
}

TEST(StrictJson, WholeLineAndNumbers) {
  StrictParser p;
  EXPECT_FALSE(p.parse_copy(R"({"a":1} x)"));
  EXPECT_TRUE(p.parse_copy("{\"a\":1}  \r"));
  EXPECT_FALSE(p.parse_copy("{\"a\":\"caf\xe9\"}"));

  // Integers beyond 64 bits are valid JSON: they read as floats, never as counts.
  auto big = p.parse_copy(R"({"n":123456789012345678901234567890,"s":"123456789012345678901234","m":-9223372036854775809})");
  ASSERT_TRUE(big);
  auto n = (*big)["n"].value();
  EXPECT_FALSE(as_count(n));
  EXPECT_EQ(as_number(n), 123456789012345678901234567890.0);
  EXPECT_EQ((*big)["s"].get_string().value(), "123456789012345678901234");
  auto max = p.parse_copy(R"({"n":18446744073709551615})");
  ASSERT_TRUE(max);
  EXPECT_EQ(as_count((*max)["n"].value()), UINT64_MAX);
  EXPECT_FALSE(p.parse_copy(R"({"n":01})"));
  EXPECT_NE(p.error().find("number"), std::string_view::npos) << p.error();
  EXPECT_FALSE(p.parse_copy(R"({"a":)"));
  EXPECT_FALSE(p.error().empty());
  // Only whole integer tokens are widened: the digits of a fraction or an exponent beside a
  // wide integer stay part of their float.
  struct Wide {
    std::string text;
    double first, second;
  };
  for (const Wide& w : std::vector<Wide>{
           {"[18446744073709551616,0.123456789012345678901]", 18446744073709551616.0, 0.123456789012345678901},
           {"[1.0000000000000000000001e-5,-9223372036854775809]", 1.0000000000000000000001e-5, -9223372036854775809.0},
           {"[18446744073709551616,123456789012345678901234E+2]", 18446744073709551616.0, 123456789012345678901234E+2},
       }) {
    auto doc = p.parse_copy(w.text);
    ASSERT_TRUE(doc) << w.text;
    EXPECT_EQ(as_number((*doc).at(0).value()), w.first) << w.text;
    EXPECT_EQ(as_number((*doc).at(1).value()), w.second) << w.text;
  }

  auto kinds = p.parse_copy(R"({"f":12.0,"neg":-1,"s":"12","ok":12})");
  ASSERT_TRUE(kinds);
  EXPECT_FALSE(as_count((*kinds)["f"].value()));
  EXPECT_FALSE(as_count((*kinds)["neg"].value()));
  EXPECT_FALSE(as_count((*kinds)["s"].value()));
  EXPECT_EQ(as_count((*kinds)["ok"].value()), 12u);
}

// A number beyond a double's range is valid JSON: it reads as an infinity, in its place,
// and the rest of the text as usual.
TEST(StrictJson, NumbersBeyondADoublesRangeReadAsInfinities) {
  StrictParser p;
  const double inf = std::numeric_limits<double>::infinity();
  const std::string huge(400, '9');
  auto doc = p.parse_copy(R"({"a":1e400,"b":-1e400,"c":[18446744073709551616,1E+400,3,"1e400",2.5,-)" + huge +
                          R"(],"d":{"e":1.7976931348623159e308},"max":1.7976931348623157e308,"tiny":1e-400,"n":7,
                             "i":-4,"wide":)" + huge + "}");
  ASSERT_TRUE(doc) << p.error();
  auto get = [&](std::string_view path) { return (*doc).at_pointer(path).value(); };
  EXPECT_EQ(as_number(get("/a")), inf);
  EXPECT_EQ(as_number(get("/b")), -inf);
  EXPECT_EQ(as_number(get("/c/0")), 18446744073709551616.0);
  EXPECT_EQ(as_number(get("/c/1")), inf);
  EXPECT_EQ(as_count(get("/c/2")), 3u);
  EXPECT_EQ(get("/c/3").get_string().value(), "1e400");
  EXPECT_EQ(as_number(get("/c/4")), 2.5);
  EXPECT_EQ(as_number(get("/c/5")), -inf);
  EXPECT_EQ(as_number(get("/d/e")), inf);
  EXPECT_EQ(as_number(get("/max")), std::numeric_limits<double>::max());
  EXPECT_EQ(as_number(get("/tiny")), 0.0);
  EXPECT_EQ(as_count(get("/n")), 7u);
  EXPECT_EQ(as_i64(get("/i")), -4);
  EXPECT_EQ(as_number(get("/wide")), inf);
  EXPECT_FALSE(as_count(get("/a")));

  // Only well-formed numbers: the others stay a reason to refuse the text.
  for (std::string bad : {"[1e400,]", "[01e400]", "[1.e400]", "[1e400x]", "[-1e400", "1e400 1", "[1e+]", "[-01]",
                          "[1e400e308]", "[1e400.5]", "[-1e400-1]", "[18446744073709551616e]", "[-9-5e400]",
                          "[1.5-18446744073709551616]"})
    EXPECT_FALSE(p.parse_copy(bad)) << bad;
}

TEST(StrictJson, KnownKeysOnceOptionalFieldsAndEnumWords) {
  StrictParser p;
  constexpr std::array<std::string_view, 2> keys = {"a", "b"};
  std::array<std::optional<element>, 2> f;
  auto dup = p.parse_copy(R"({"a":1,"x":1,"x":2,"a":2})");
  EXPECT_FALSE(read_fields(dup->get_object().value(), keys, f));
  auto ok = p.parse_copy(R"({"x":1,"x":2,"b":null,"a":"t"})");
  ASSERT_TRUE(read_fields(ok->get_object().value(), keys, f));
  EXPECT_EQ(opt_string(f[0]).value, "t");
  EXPECT_TRUE(opt_string(f[1]).ok);
  EXPECT_FALSE(opt_string(f[1]).value);
  EXPECT_FALSE(opt_bool(f[0]).ok);
  auto words = p.parse_copy(R"(["fast",{"fast":null},{"fast":1},{"a":null,"b":null}])");
  std::vector<std::optional<std::string_view>> got;
  simdjson::dom::array items = words->get_array().value();
  for (auto e : items) got.push_back(enum_word(e));
  EXPECT_EQ(got[0], "fast");
  EXPECT_EQ(got[1], "fast");
  EXPECT_FALSE(got[2]);
  EXPECT_FALSE(got[3]);
}

TEST(LineReader, SameLinesAsTheWholeFileWhateverTheChunk) {
  kit::TempDir dir;
  std::mt19937 rng(7);
  std::string text;
  for (int i = 0; i < 400; ++i) {
    int len = std::uniform_int_distribution<int>(0, i % 50 == 0 ? 5000 : 60)(rng);
    std::string line(len, 'a' + i % 26);
    if (i % 7 == 0) line += "\"usage\":{";
    if (i % 11 == 0) line += "\r";
    text += line + "\n";
  }
  text += "last\"usage\":{";  // no final line feed
  kit::write_file(dir / "f.jsonl", text);

  std::vector<std::string> want, want_usage;
  std::string_view rest = text;
  while (auto l = fast::next_line(rest)) {
    want.emplace_back(*l);
    if (l->find("\"usage\":{") != std::string_view::npos) want_usage.emplace_back(*l);
  }
  for (std::size_t chunk : {1, 7, 64, 4096, 1 << 20}) {
    jsonl::LineReader reader(chunk);
    std::vector<std::string> got, got_usage;
    ASSERT_TRUE(reader.for_each_line(dir / "f.jsonl", [&](std::string_view l) { got.emplace_back(l); }));
    ASSERT_TRUE(reader.for_each_line_containing(dir / "f.jsonl", "\"usage\":{",
                                                [&](std::string_view l) { got_usage.emplace_back(l); }));
    EXPECT_EQ(got, want) << chunk;
    EXPECT_EQ(got_usage, want_usage) << chunk;
  }
  jsonl::LineReader reader;
  EXPECT_FALSE(reader.for_each_line(dir / "missing", [](std::string_view) {}));
}

}  // namespace
}  // namespace qm::json
