#include "json/strict.h"

#include <gtest/gtest.h>

#include <random>

#include "adapter/claude/partition.h"
#include "jsonl_reader.h"
#include "kit/env.h"

namespace qm::json {
namespace {

TEST(StrictJson, WholeLineDepthAndNumbers) {
  StrictParser p;
  // Depth counts every container, the innermost one too, whether it is empty or not.
  auto nested = [](int depth, std::string inner) {
    return std::string(depth - 1, '[') + inner + std::string(depth - 1, ']');
  };
  for (std::string inner : {"[]", "[1]", "{}", "{\"a\":1}", "[\"[[[[\"]"}) {
    EXPECT_TRUE(p.parse_copy(nested(128, inner))) << inner;
    EXPECT_FALSE(p.parse_copy(nested(129, inner))) << inner;
  }
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "{\"b\":1}" + std::string(127, '}');
  EXPECT_TRUE(p.parse_copy(objects));
  EXPECT_FALSE(p.parse_copy("{\"x\":" + objects + "}"));
  EXPECT_NE(p.error().find("deep"), std::string_view::npos) << p.error();
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
  EXPECT_FALSE(p.parse_copy(R"({"n":1e400})"));
  EXPECT_NE(p.error().find("number"), std::string_view::npos) << p.error();
  EXPECT_FALSE(p.parse_copy(R"({"a":)"));
  EXPECT_FALSE(p.error().empty());

  auto kinds = p.parse_copy(R"({"f":12.0,"neg":-1,"s":"12","ok":12})");
  ASSERT_TRUE(kinds);
  EXPECT_FALSE(as_count((*kinds)["f"].value()));
  EXPECT_FALSE(as_count((*kinds)["neg"].value()));
  EXPECT_FALSE(as_count((*kinds)["s"].value()));
  EXPECT_EQ(as_count((*kinds)["ok"].value()), 12u);
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

TEST(Partition, LargestFirstToTheLeastLoaded) {
  kit::TempDir dir;
  std::vector<std::filesystem::path> files;
  int sizes[] = {10, 7, 5, 4, 1};
  for (int i = 0; i < 5; ++i) {
    files.push_back(dir / ("f" + std::to_string(i)));
    kit::write_file(files.back(), std::string(static_cast<std::size_t>(sizes[i]), 'x'));
  }
  auto buckets = claude::partition_files_by_size(files, 2);
  ASSERT_EQ(buckets.size(), 2u);
  EXPECT_EQ(buckets[0], (std::vector<std::size_t>{0, 3}));
  EXPECT_EQ(buckets[1], (std::vector<std::size_t>{1, 2, 4}));
  EXPECT_EQ(claude::partition_files_by_size(files, 9).size(), 5u);
}

}  // namespace
}  // namespace qm::json
