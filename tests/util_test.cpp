#include "util.h"
#include "util_files.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "fast.h"
#include "kit/env.h"
#include "log.h"
#include "sort.h"
#include "util_json.h"

namespace qm::util {
namespace {

TEST(Util, HomeDirectoryFallbacks) {
  kit::EnvGuard env;
  env.set("HOME", "").unset("USERPROFILE").set("HOMEDRIVE", "C:").set("HOMEPATH", "\\Users\\x");
  EXPECT_EQ(home_dir(), "C:\\Users\\x");
  env.set("HOMEPATH", "");
  EXPECT_FALSE(home_dir());
  env.set("USERPROFILE", "/profile");
  EXPECT_EQ(home_dir(), "/profile");
  env.set("HOME", "/home/u");
  EXPECT_EQ(home_dir(), "/home/u");
}

TEST(Util, DirectoryListsAndTexts) {
  EXPECT_EQ(split_entries("a, ,b,"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(split_entries(" , ,, ").empty());
  EXPECT_EQ(split_entries("\xC2\xA0" "a\u3000,\tb\xE2\x80\x89"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(trim("\xC2"), "\xC2");  // a broken sequence is not space
  EXPECT_EQ(space_at_front("\u3000x"), 3u);
  EXPECT_EQ(space_at_front("x "), 0u);
  EXPECT_EQ(lowercase("ÄBC-Ω\xff"), "äbc-ω\xff");  // a byte that is no character stays
  EXPECT_EQ(capitalize_first("codex"), "Codex");
  EXPECT_EQ(capitalize_first("édith"), "édith");
  EXPECT_EQ(capitalize_first(""), "");
}

TEST(Util, SignedAndFloatingDecimals) {
  const struct {
    std::string_view text;
    std::optional<std::int64_t> integer;
    std::optional<double> number;
  } cases[] = {
      {"42", 42, 42.0},
      {"+42", 42, 42.0},
      {"-42", -42, -42.0},
      {"-9223372036854775808", INT64_MIN, -9223372036854775808.0},
      {"9223372036854775808", std::nullopt, 9223372036854775808.0},
      {"4.5e1", std::nullopt, 45.0},
      {"5.", std::nullopt, 5.0},
      {"1e-400", std::nullopt, 0.0},  // below the smallest float: 0, as the text means
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"-+1", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"1_000", std::nullopt, std::nullopt},
      {"0x1p3", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_i64_decimal(c.text), c.integer) << c.text;
    EXPECT_EQ(parse_f64_decimal(c.text), c.number) << c.text;
  }
  EXPECT_EQ(parse_f64_decimal("-1e400"), -HUGE_VAL);
  EXPECT_EQ(parse_f64_decimal("Infinity"), HUGE_VAL);
}

TEST(Util, JsonValueGetters) {
  simdjson::dom::parser parser;
  auto doc = parser.parse(std::string(
      R"({"i":5,"f":5.0,"n":-1,"big":18446744073709551615,"s":"  x ","e":"  ","tiny":1e-320,"z":-0.0,"t":true})"));
  auto get = [&](const char* k) { return member(doc.value(), k); };
  EXPECT_EQ(value_as_u64(get("i")), 5u);
  EXPECT_FALSE(value_as_u64(get("f")));
  EXPECT_FALSE(value_as_u64(get("n")));
  EXPECT_EQ(value_as_u64(get("big")), UINT64_MAX);
  EXPECT_FALSE(value_as_u64(get("missing")));
  EXPECT_TRUE(is_positive_number(*get("tiny")));
  EXPECT_FALSE(is_positive_number(*get("z")));
  EXPECT_FALSE(is_positive_number(*get("t")));
  EXPECT_TRUE(is_positive_number(*get("i")));
}

TEST(Util, FileWalkSkipsLinksAndOtherExtensions) {
  kit::TempDir dir;
  kit::write_file(dir / "a/one.jsonl", "");
  kit::write_file(dir / "a/b/two.jsonl", "");
  kit::write_file(dir / "a/three.JSONL", "");
  kit::write_file(dir / "a/.jsonl", "");
  kit::write_file(dir / "a/x.jsonl.bak", "");
  std::filesystem::create_directories(dir / "elsewhere");
  kit::write_file(dir / "elsewhere/four.jsonl", "");
  std::filesystem::create_symlink(dir / "a/one.jsonl", dir / "a/link.jsonl");
  std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "a/linked-dir");
  std::vector<std::filesystem::path> files;
  collect_jsonl_files(dir / "a", files);
  std::vector<std::string> names;
  for (auto& f : files) names.push_back(f.filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"one.jsonl", "two.jsonl"}));
  files.clear();
  collect_jsonl_files(dir / "missing", files);
  EXPECT_TRUE(files.empty());
}

// Files of every size around the reads' edges, and a pipe, whose size is not known ahead and
// whose text outgrows the first room; the spare room is there after the content.
TEST(Util, WholeFileReadsGiveEveryByteWithRoomToSpare) {
  kit::TempDir dir;
  for (std::size_t size : {0, 1, 4095, 65535, 65536, 65537, 300001}) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i * 7 % 23);
    kit::write_file(dir / "f", text);
    for (std::size_t spare : {0, 64}) {
      std::string error;
      auto got = read_file(dir / "f", &error, spare);
      ASSERT_TRUE(got) << error;
      EXPECT_EQ(*got, text) << size;
      EXPECT_GE(got->capacity(), size + spare) << size;
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
      for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fds[1], text.data() + at, text.size() - at);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::close(fds[1]);
    });
    auto piped = read_to_end(fds[0]);
    writer.join();
    ASSERT_TRUE(piped);
    EXPECT_EQ(*piped, text) << size;
  }
  std::string error;
  EXPECT_FALSE(read_file(dir / "missing", &error));
  EXPECT_FALSE(error.empty());
}

TEST(Util, PathsCompareByComponents) {
  EXPECT_TRUE(same_path("/a/", "/a"));
  EXPECT_TRUE(same_path("/a//b", "/a/b"));
  EXPECT_FALSE(same_path("/a/b", "/a"));
  EXPECT_FALSE(same_path("a", "/a"));
  EXPECT_TRUE(same_path("/a/./b/.", "/a/b"));
  EXPECT_FALSE(same_path("./a", "a"));
}

TEST(Util, LossyUtf8ReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(utf8_lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(utf8_lossy("a\xE9" "b"), "a\xEF\xBF\xBD" "b");
  // A truncated three-byte sequence is one replacement; a surrogate is three.
  EXPECT_EQ(utf8_lossy("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), "\xEF\xBF\xBD");
}

// Every length up to past the short texts' bound, with a stray byte at every place: none may
// be passed over by the ASCII shortcut.
TEST(Util, ValidUtf8FindsAByteOutsideAsciiAnywhere) {
  for (std::size_t n = 0; n <= 80; ++n) {
    const std::string ascii(n, 'a');
    EXPECT_TRUE(is_valid_utf8(ascii)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string stray = ascii;
      stray[at] = '\xE9';
      EXPECT_FALSE(is_valid_utf8(stray)) << n << " " << at;
      if (at + 1 < n) {
        std::string two = ascii;
        two[at] = '\xC3';
        two[at + 1] = '\xA9';
        EXPECT_TRUE(is_valid_utf8(two)) << n << " " << at;
      }
    }
  }
}

TEST(Util, NextLine) {
  std::string_view text = "a\n\nb\r\nc";
  std::vector<std::string> lines;
  while (auto l = fast::next_line(text)) lines.emplace_back(*l);
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b\r", "c"}));
  std::string_view ends = "x\n";
  EXPECT_EQ(fast::next_line(ends), "x");
  EXPECT_FALSE(fast::next_line(ends));
}

TEST(Log, LevelParsing) {
  EXPECT_EQ(log::parse_log_level("+4"), 4);
  EXPECT_EQ(log::parse_log_level("0"), 0);
  EXPECT_EQ(log::parse_log_level("255"), 255);
  for (const char* bad : {"", "+", "-1", "256", "999", "3.0", " 2"}) EXPECT_FALSE(log::parse_log_level(bad)) << bad;
  kit::EnvGuard env;
  env.set("LOG_LEVEL", "+4");
  EXPECT_TRUE(log::debug_enabled());
  env.set("LOG_LEVEL", "0");
  EXPECT_FALSE(log::output_enabled());
  env.unset("LOG_LEVEL");
  EXPECT_TRUE(log::output_enabled());
  EXPECT_FALSE(log::debug_enabled());
}

TEST(Sort, TotalOrderAndKeys) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(sort::total_less(-0.0, 0.0));
  EXPECT_TRUE(sort::total_less(1.0, nan));
  EXPECT_TRUE(sort::total_less(-nan, -1e308));
  EXPECT_TRUE(sort::total_less(-2.0, -1.0));
  EXPECT_TRUE(sort::path_file_name_less("/x/", "/a/b"));
  std::vector<ModelUsage> usages{{"b", 0, 0, 0, 0, 0, 1.0}, {"a", 0, 0, 0, 0, 0, 1.0}, {"c", 0, 0, 0, 0, 0, 2.0}};
  sort::sort_model_usages(usages);
  EXPECT_EQ(usages[0].model + usages[1].model + usages[2].model, "cba");
}

}  // namespace
}  // namespace qm::util
