// Walking, sorting, reading whole files and parsing them on workers.
#include "reader/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "kit/env.h"

namespace qm::reader {
namespace {

using Paths = std::vector<fs::path>;

TEST(ReaderFiles, WalkWithANamePredicateThenSortInPathOrder) {
  kit::TempDir t;
  for (auto rel : {"r/a-b.json", "r/a/b.json", "r/a/skip.json", "r/a/c.jsonl", "r/.json", "r/x.JSON"})
    kit::write_file(t / rel, "{}");
  Paths files;
  walk(t / "r", "json", [](const fs::path& p) { return p.filename() != "skip.json"; }, files);
  walk(t / "r", "json", files);  // a second walk repeats what the first found
  walk(t / "missing", "json", files);
  sort_paths(files);
  // Component order: a/b.json before a-b.json.
  EXPECT_EQ(files, (Paths{t / "r/a/b.json", t / "r/a/skip.json", t / "r/a-b.json"}));
}

TEST(ReaderFiles, WholeFileTextAndItsErrors) {
  kit::TempDir t;
  kit::write_file(t / "ok.json", "{\"a\":1}");
  kit::write_file(t / "bad.json", "{\"a\":\"\xff\"}");
  fs::create_directories(t / "dir.json");

  auto ok = read_text(t / "ok.json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->view(), "{\"a\":1}");
  json::StrictParser parser;  // parses in place: the padding follows the text
  EXPECT_TRUE(parser.parse(ok->view()));

  EXPECT_EQ(read_text(t / "bad.json").error(), "stream did not contain valid UTF-8");
  EXPECT_EQ(read_text(t / "missing.json").error(), "No such file or directory");
  EXPECT_EQ(read_text(t / "dir.json").error(), "Is a directory");
}

TEST(ReaderFiles, ModificationTimeAndStem) {
  kit::TempDir t;
  kit::write_file(t / "a.b.jsonl", "");
  timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "a.b.jsonl").c_str(), times, 0), 0);
  EXPECT_EQ(file_time_ms(t / "a.b.jsonl"), 1'700'000'000'123);
  times[1] = {-5, 0};  // before 1970
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "a.b.jsonl").c_str(), times, 0), 0);
  EXPECT_EQ(file_time_ms(t / "a.b.jsonl"), std::nullopt);
  EXPECT_EQ(file_time_ms(t / "missing"), std::nullopt);

  EXPECT_EQ(file_stem(t / "a.b.jsonl"), "a.b");
  EXPECT_EQ(file_stem(t / ".jsonl"), ".jsonl");
  EXPECT_EQ(file_stem("/"), std::nullopt);
}

TEST(ReaderFiles, ParsedOnWorkersInFileOrderAndTheFirstFailureWins) {
  kit::TempDir t;
  Paths files;
  for (int i = 0; i < 12; ++i) {
    files.push_back(t / ("f" + std::to_string(i) + ".json"));
    kit::write_file(files.back(), std::string(static_cast<std::size_t>(100 * (12 - i)), ' ') + std::to_string(i));
  }
  auto make = [] {
    return [parser = json::StrictParser()](const fs::path&, std::string_view text) mutable {
      auto root = parser.parse(text);
      return std::vector<std::int64_t>{root ? json::as_i64(*root).value_or(-1) : -1};
    };
  };
  for (bool single : {true, false}) {
    auto got = parse_files<std::int64_t>(files, single, make);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ((*got)[i], std::vector<std::int64_t>{static_cast<std::int64_t>(i)});
  }
  kit::write_file(files[3], "\xc3");
  fs::remove(files[7]);
  EXPECT_EQ(parse_files<std::int64_t>(files, false, make).error(), "stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace qm::reader
