// Files read in parts on many workers and put together: each file's lines once, in order, as
// one worker reading it whole gives them; one time per file; a failing part costs its file.
#include "reader/file_parts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kit/env.h"

namespace qm::reader {
namespace {

// What a reader made of a file or a part: its lines, and the time it was given.
struct Lines {
  std::vector<std::string> lines;
  std::vector<std::int64_t> times;  // one per part
};
void append(Lines& whole, Lines&& part) {
  whole.lines.insert(whole.lines.end(), part.lines.begin(), part.lines.end());
  whole.times.insert(whole.times.end(), part.times.begin(), part.times.end());
}
using Join = AppendJoin<Lines, append>;

// Reads the lines of a part; the parts of "bad.jsonl" from the third on fail, each with its
// own error. Some parts, the first among them, take longer: the parts after them are read
// before them.
struct Read {
  jsonl::LineReader reader{7};
  std::expected<Lines, std::string> operator()(const fs::path& path, const jsonl::FilePart& part, const FileTime& time) {
    if (part.count > 1 && (part.index == 0 || part.index == part.count / 2))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (path.filename() == "bad.jsonl" && part.index >= 2) return std::unexpected("part " + std::to_string(part.index));
    Lines got;
    got.times.push_back(time.value_or(-1));
    auto done = for_each_line(reader, path, part, [&](std::string_view line) { got.lines.emplace_back(line); });
    if (!done) return std::unexpected(done.error());
    return got;
  }
};

TEST(ReaderFileParts, PartsPutTogetherGiveEachFileAsOneWorkerReadsItWhole) {
  kit::TempDir t;
  std::string text;
  for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 23), 'x') + "\r\n";
  kit::write_file(t / "a.jsonl", text);
  kit::write_file(t / "bad.jsonl", text);
  kit::write_file(t / "empty.jsonl", "");
  kit::write_file(t / "b.jsonl", "one\ntwo");
  const std::vector<fs::path> files{t / "a.jsonl", t / "bad.jsonl", t / "missing.jsonl", t / "empty.jsonl", t / "b.jsonl"};

  UnreadFiles unread_whole;
  const auto whole = read_files_in_parts<Join>(files, true, unread_whole, [] { return Read(); });
  ASSERT_EQ(whole.size(), 4u);  // bad.jsonl read whole is read without fault; missing.jsonl cannot be opened
  EXPECT_EQ(whole[0].lines.size(), 300u);
  EXPECT_EQ(whole[0].lines.back(), "line 299" + std::string(299 % 23, 'x'));  // the carriage return dropped
  EXPECT_EQ(whole[1].lines, whole[0].lines);
  EXPECT_TRUE(whole[2].lines.empty());
  EXPECT_EQ(whole[3].lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(unread_whole.count, 1u);
  EXPECT_EQ(unread_whole.first_path, (t / "missing.jsonl").string());

  for (std::uint64_t part : {1, 5, 64, 1000}) {
    UnreadFiles unread;
    const auto cut = read_files_in_parts<Join>(files, false, unread, [] { return Read(); },
                                               parallel::PartSizes{.cut_above = 0, .part = part});
    ASSERT_EQ(cut.size(), 3u) << part;
    EXPECT_EQ(cut[0].lines, whole[0].lines) << part;
    EXPECT_EQ(cut[1].lines, whole[2].lines) << part;
    EXPECT_EQ(cut[2].lines, whole[3].lines) << part;
    // Every part of a file was given the file's one time.
    ASSERT_GT(cut[0].times.size(), 1u);
    for (std::int64_t time : cut[0].times) EXPECT_EQ(time, whole[0].times[0]);
    // bad.jsonl is passed over with the error of its first failing part, then missing.jsonl.
    EXPECT_EQ(unread.count, 2u);
    EXPECT_EQ(unread.first_path, (t / "bad.jsonl").string());
    EXPECT_EQ(unread.first_reason, "part 2");
  }

  // One thread reading the parts last first gives the same.
  Read read;
  auto alone = read_in_parts<Join>(t / "a.jsonl", 3, read);
  ASSERT_TRUE(alone) << alone.error();
  EXPECT_EQ(alone->lines, whole[0].lines);
  EXPECT_EQ(read_in_parts<Join>(t / "bad.jsonl", 3, read).error(), "part 2");
  EXPECT_FALSE(read_in_parts<Join>(t / "missing.jsonl", 3, read));
}

}  // namespace
}  // namespace qm::reader
