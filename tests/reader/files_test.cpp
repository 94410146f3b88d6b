// Walking, sorting, reading whole files and parsing them on workers.
#include "reader/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "json/strict.h"
#include "kit/env.h"

namespace qm::reader {
namespace {

using Paths = std::vector<fs::path>;

TEST(ReaderFiles, WalkWithANamePredicateThenSortInPathOrder) {
  kit::TempDir t;
  for (auto rel : {"r/a-b.json", "r/a/b.json", "r/a/skip.json", "r/a/c.jsonl", "r/.json", "r/x.JSON"})
    kit::write_file(t / rel, "{}");
  Paths files;
  UnreadFiles unread;
  walk(t / "r", "json", [](const fs::path& p) { return p.filename() != "skip.json"; }, files, unread);
  walk(t / "r", "json", files, unread);  // a second walk repeats what the first found
  walk(t / "missing", "json", files, unread);
  walk(t / "r/a-b.json", "json", files, unread);
  sort_paths(files);
  // Component order: a/b.json before a-b.json.
  EXPECT_EQ(files, (Paths{t / "r/a/b.json", t / "r/a/skip.json", t / "r/a-b.json"}));
  EXPECT_TRUE(unread.empty());  // what does not exist, or is no directory, held nothing
}

TEST(ReaderFiles, ADirectoryThatCannotBeListedIsCounted) {
  kit::TempDir t;
  kit::write_file(t / "r/a.json", "{}");
  fs::create_directory_symlink("loop", t / "loop");
  Paths files;
  UnreadFiles unread;
  walk(t / "loop", "json", files, unread);
  walk(t / "r", "json", files, unread);
  EXPECT_EQ(files, (Paths{t / "r/a.json"}));
  EXPECT_EQ(unread.count, 1u);
  EXPECT_EQ(unread.first_path, (t / "loop").string());
  EXPECT_EQ(unread.first_reason, "Too many levels of symbolic links");
  if (::geteuid() != 0) {  // a user without the right to list it
    fs::create_directories(t / "r/locked");
    fs::permissions(t / "r/locked", fs::perms::none);
    walk(t / "r", "json", files, unread);
    fs::permissions(t / "r/locked", fs::perms::owner_all);
    EXPECT_EQ(unread.count, 2u);
    EXPECT_EQ(unread.first_path, (t / "loop").string());
  }
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

  EXPECT_EQ(read_text(t / "bad.json").error(), "not valid UTF-8");
  EXPECT_EQ(read_text(t / "missing.json").error(), "No such file or directory");
  EXPECT_EQ(read_text(t / "dir.json").error(), "Is a directory");
  // Bytes as they are, for readers that judge each line.
  EXPECT_EQ(read_bytes(t / "bad.json")->view(), "{\"a\":\"\xff\"}");
  EXPECT_EQ(read_bytes(t / "dir.json").error(), "Is a directory");
  // A JSON Lines file is read as bytes, any other JSON file as text.
  fs::copy_file(t / "bad.json", t / "bad.jsonl");
  EXPECT_EQ(read_json_text(t / "bad.jsonl")->view(), "{\"a\":\"\xff\"}");
  EXPECT_EQ(read_json_text(t / "bad.json").error(), "not valid UTF-8");
  // Only regular files: a FIFO without a writer is refused, not waited on.
  ASSERT_EQ(::mkfifo((t / "fifo.json").c_str(), 0600), 0);
  EXPECT_EQ(read_text(t / "fifo.json").error(), "not a regular file");
  EXPECT_EQ(read_bytes("/dev/zero").error(), "not a regular file");
}

TEST(ReaderFiles, LinesDropTheirCarriageReturn) {
  std::vector<std::string_view> lines;
  for_each_line("a\r\n\r\nb\rc\n\nd", [&](std::string_view line) { lines.push_back(line); });
  EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "", "b\rc", "", "d"}));
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
  EXPECT_EQ(file_time(t / "a.b.jsonl").error(), "modification time is before 1970");
  EXPECT_EQ(file_time_ms(t / "missing"), std::nullopt);
  EXPECT_EQ(file_time(t / "missing").error(), "No such file or directory");

  EXPECT_EQ(file_stem(t / "a.b.jsonl"), "a.b");
  EXPECT_EQ(file_stem(t / ".jsonl"), ".jsonl");
  EXPECT_EQ(file_stem("/"), std::nullopt);
}

TEST(ReaderFiles, ParsedOnWorkersInFileOrderPassingOverWhatCannotBeRead) {
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
  auto values = [](const std::vector<std::vector<std::int64_t>>& per_file) {
    std::vector<std::int64_t> out;
    for (const auto& items : per_file) out.insert(out.end(), items.begin(), items.end());
    return out;
  };
  for (bool single : {true, false}) {
    UnreadFiles unread;
    auto got = parse_files<std::int64_t>(files, single, unread, make);
    ASSERT_EQ(got.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(got[i], std::vector<std::int64_t>{static_cast<std::int64_t>(i)});
    // The JSON form: the worker's parser handed in, two items per file, all in one list.
    auto flat = parse_json_files<std::int64_t>(files, single, unread,
                                               [](const fs::path&, std::string_view text, json::StrictParser& parser) {
                                                 auto root = parser.parse(text);
                                                 const std::int64_t v = root ? json::as_i64(*root).value_or(-1) : -1;
                                                 return std::vector<std::int64_t>{v, -v};
                                               });
    ASSERT_EQ(flat.size(), 24u);
    for (std::size_t i = 0; i < 24; ++i) EXPECT_EQ(flat[i], (i % 2 ? -1 : 1) * static_cast<std::int64_t>(i / 2));
    EXPECT_TRUE(unread.empty());
  }

  // Cut inside a character, gone since the listing, a directory, a FIFO: each passed over
  // and counted, the first named in file order whatever the workers.
  kit::write_file(files[9], "\xc3");
  kit::write_file(files[3], "3\xc3");
  fs::remove(files[7]);
  fs::remove(files[5]);
  fs::create_directory(files[5]);
  fs::remove(files[1]);
  ASSERT_EQ(::mkfifo(files[1].c_str(), 0600), 0);
  // A JSON Lines file that is not UTF-8 is read: its parser judges each line.
  files.push_back(t / "g.jsonl");
  kit::write_file(files.back(), "12\xc3");
  for (bool single : {true, false}) {
    UnreadFiles unread;
    auto got = parse_files<std::int64_t>(files, single, unread, make);
    EXPECT_EQ(values(got), (std::vector<std::int64_t>{0, 2, 4, 6, 8, 10, 11, -1}));
    EXPECT_EQ(unread.count, 5u);
    EXPECT_EQ(unread.first_path, files[1].string());
    EXPECT_EQ(unread.first_reason, "not a regular file");
  }
  UnreadFiles unread;
  parse_files<std::int64_t>(Paths{files[9], files[7], files[5]}, false, unread, make);
  EXPECT_EQ(unread, (UnreadFiles{3, files[9].string(), "not valid UTF-8"}));
  unread = {};
  parse_files<std::int64_t>(Paths{files[7], files[5]}, false, unread, make);
  EXPECT_EQ(unread, (UnreadFiles{2, files[7].string(), "No such file or directory"}));
  unread = {};
  parse_files<std::int64_t>(Paths{files[5]}, false, unread, make);
  EXPECT_EQ(unread, (UnreadFiles{1, files[5].string(), "Is a directory"}));
}

TEST(ReaderFiles, LinesInChunksWithoutCarriageReturnsAndTheSystemsError) {
  kit::TempDir t;
  kit::write_file(t / "a.jsonl", "{\"a\":1}\r\n\r\nlast");
  jsonl::LineReader lines(4);  // lines longer than a chunk
  json::StrictParser parser;
  std::vector<std::string> got;
  auto done = for_each_line(lines, t / "a.jsonl", [&](std::string_view line) {
    got.emplace_back(line);
    if (got.size() == 1) {
      EXPECT_TRUE(parser.parse(line));  // in place
    }
  });
  ASSERT_TRUE(done);
  EXPECT_EQ(got, (std::vector<std::string>{"{\"a\":1}", "", "last"}));
  EXPECT_EQ(for_each_line(lines, t / "missing", [](std::string_view) {}).error(), "No such file or directory");
  fs::create_directories(t / "dir.jsonl");
  EXPECT_EQ(for_each_line(lines, t / "dir.jsonl", [](std::string_view) {}).error(), "Is a directory");
  ASSERT_EQ(::mkfifo((t / "fifo.jsonl").c_str(), 0600), 0);  // refused, not waited on
  EXPECT_EQ(for_each_line(lines, t / "fifo.jsonl", [](std::string_view) {}).error(), "not a regular file");
}

}  // namespace
}  // namespace qm::reader
