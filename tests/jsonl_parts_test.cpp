// A file cut into parts gives, part after part, the lines that reading it whole gives, once
// each, wherever the cuts fall; and the workers that read the parts hand them back in order.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "jsonl_reader.h"
#include "kit/env.h"
#include "parallel.h"

namespace qm {
namespace {

struct Fd {
  explicit Fd(const std::filesystem::path& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Fd() { ::close(fd); }
  int fd;
};

std::vector<std::string> whole_lines(std::string_view text, std::string_view needle = {}) {
  std::vector<std::string> out;
  while (auto l = fast::next_line(text))
    if (needle.empty() || l->find(needle) != std::string_view::npos) out.emplace_back(*l);
  return out;
}

// Lines with what makes cuts hard: empty lines, carriage returns, lines far longer than a
// part or a chunk, the needle near both ends of a line.
std::string tricky_text(bool final_line_feed) {
  std::mt19937 rng(11);
  std::string text;
  for (int i = 0; i < 120; ++i) {
    const int len = std::uniform_int_distribution<int>(0, i % 17 == 0 ? 700 : 30)(rng);
    std::string line(static_cast<std::size_t>(len), static_cast<char>('a' + i % 26));
    if (i % 5 == 0) line.insert(0, "\"usage\":{");
    if (i % 9 == 0) line += "\"usage\":{";
    if (i % 4 == 0) line += "\r";
    text += line + "\n";
    if (i % 13 == 0) text += "\n";
  }
  text += "last \"usage\":{ line";
  if (final_line_feed) text += "\n";
  return text;
}

TEST(FileParts, EveryCutGivesTheLinesOfTheWholeFileOnceInOrder) {
  kit::TempDir dir;
  for (bool final_line_feed : {false, true}) {
    const std::string text = tricky_text(final_line_feed);
    kit::write_file(dir / "f.jsonl", text);
    Fd file(dir / "f.jsonl");
    const auto want = whole_lines(text), want_usage = whole_lines(text, "\"usage\":{");
    for (std::uint64_t part_size : {1, 2, 3, 5, 8, 13, 40, 333, 1000, 100000}) {
      for (std::size_t chunk : {1, 7, 4096}) {
        jsonl::LineReader reader(chunk);
        const auto parts = jsonl::cut_file(file.fd, text.size(), part_size);
        // Read last part first, as workers may: each part's lines alone, then in part order.
        std::vector<std::vector<std::string>> lines(parts.size()), usage(parts.size());
        for (std::size_t k = parts.size(); k-- > 0;) {
          ASSERT_TRUE(reader.for_each_line(dir / "f.jsonl", parts[k], [&](std::string_view l) {
            EXPECT_EQ(text.substr(reader.offset_of(l), l.size()), l);
            EXPECT_TRUE(reader.offset_of(l) == 0 || text[reader.offset_of(l) - 1] == '\n');
            lines[k].emplace_back(l);
          }));
          ASSERT_TRUE(reader.for_each_line_containing(dir / "f.jsonl", parts[k], "\"usage\":{",
                                                      [&](std::string_view l) { usage[k].emplace_back(l); }));
        }
        std::vector<std::string> got, got_usage;
        for (std::size_t k = 0; k < parts.size(); ++k) {
          got.insert(got.end(), lines[k].begin(), lines[k].end());
          got_usage.insert(got_usage.end(), usage[k].begin(), usage[k].end());
        }
        EXPECT_EQ(got, want) << part_size << " " << chunk << " " << final_line_feed;
        EXPECT_EQ(got_usage, want_usage) << part_size << " " << chunk << " " << final_line_feed;
      }
    }
  }
}

TEST(FileParts, CutsOfNearlyEqualLengthTheLastToTheEnd) {
  const auto parts = jsonl::cut_file(3, 10, 3);
  ASSERT_EQ(parts.size(), 4u);
  std::vector<std::uint64_t> begins;
  for (const auto& p : parts) {
    begins.push_back(p.begin);
    EXPECT_EQ(p.fd, 3);
    EXPECT_EQ(p.count, 4u);
    EXPECT_EQ(p.index, begins.size() - 1);
  }
  EXPECT_EQ(begins, (std::vector<std::uint64_t>{0, 2, 5, 7}));
  EXPECT_EQ(parts[0].end, 2u);
  EXPECT_EQ(parts[3].end, jsonl::FilePart::kToEnd);
  EXPECT_EQ(jsonl::cut_file(3, 0, 8).size(), 1u);
  EXPECT_EQ(jsonl::cut_file(3, 16, 8).size(), 2u);
  EXPECT_EQ(jsonl::cut_file(3, 17, 8).size(), 3u);
}

// A file that grows while it is read: the last part reads to its end, as a whole reading does.
TEST(FileParts, TheLastPartReadsWhatTheFileGrewBy) {
  kit::TempDir dir;
  kit::write_file(dir / "f.jsonl", "one\ntwo\nthree\nfour\n");
  Fd file(dir / "f.jsonl");
  const auto parts = jsonl::cut_file(file.fd, 19, 10);
  std::ofstream(dir / "f.jsonl", std::ios::app) << "five\nsix";
  jsonl::LineReader reader(4);
  std::vector<std::string> lines;
  for (const auto& p : parts) ASSERT_TRUE(reader.for_each_line(dir / "f.jsonl", p, [&](std::string_view l) {
    lines.emplace_back(l);
  }));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "four", "five", "six"}));
}

TEST(FileParts, ACallbackThatSaysFalseEndsTheReading) {
  kit::TempDir dir;
  kit::write_file(dir / "f.jsonl", "a\nb x\nc x\nd x\n");
  jsonl::LineReader reader(1);
  std::vector<std::string> lines;
  EXPECT_TRUE(reader.for_each_line(dir / "f.jsonl", [&](std::string_view l) {
    lines.emplace_back(l);
    return lines.size() < 2;
  }));
  EXPECT_TRUE(reader.for_each_line_containing(dir / "f.jsonl", "x", [&](std::string_view l) {
    lines.emplace_back(l);
    return false;
  }));
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b x", "b x"}));
}

// What each task saw: the part, and the lines it read.
struct Seen {
  std::size_t file = 0;
  jsonl::FilePart part;
  std::vector<std::string> lines;
};

TEST(FileParts, WorkersReadSmallFilesWholeAndLargeOnesInPartsHandedBackInOrder) {
  kit::TempDir dir;
  std::vector<std::filesystem::path> files;
  std::vector<std::string> texts;
  for (int i = 0; i < 6; ++i) {
    std::string text;
    const int lines = i == 2 ? 400 : i * 3;  // one large file
    for (int n = 0; n < lines; ++n) text += "file " + std::to_string(i) + " line " + std::to_string(n) + "\n";
    files.push_back(dir / ("f" + std::to_string(i) + ".jsonl"));
    kit::write_file(files.back(), text);
    texts.push_back(text);
  }
  const parallel::PartSizes sizes{.cut_above = 1000, .part = 64};
  for (std::size_t workers : {1u, 2u, 5u}) {
    auto per_file = parallel::map_file_parts<Seen>(files, workers, sizes, [&] {
      return [&, reader = jsonl::LineReader(16)](std::size_t i, const jsonl::FilePart& part) mutable {
        Seen s{i, part, {}};
        EXPECT_TRUE(reader.for_each_line(files[i], part, [&](std::string_view l) { s.lines.emplace_back(l); }));
        return s;
      };
    });
    ASSERT_EQ(per_file.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      const bool cut = workers > 1 && i == 2;
      ASSERT_EQ(per_file[i].size(), cut ? jsonl::cut_file(-1, texts[i].size(), 64).size() : 1u) << i;
      std::vector<std::string> lines;
      for (std::size_t k = 0; k < per_file[i].size(); ++k) {
        const Seen& s = per_file[i][k];
        EXPECT_EQ(s.file, i);
        EXPECT_EQ(s.part.index, k);
        EXPECT_EQ(s.part.fd >= 0, cut);
        lines.insert(lines.end(), s.lines.begin(), s.lines.end());
      }
      EXPECT_EQ(lines, whole_lines(texts[i])) << i << " " << workers;
    }
  }
}

}  // namespace
}  // namespace qm
