// Qwen chat files, lines that are not UTF-8 included: read without fault, the same items
// from a parser that read other files before and from the file's lines each read alone, none
// of them without tokens; the reader, which reads in chunks and passes over lines that cannot
// hold a reply, keeps those items but the repeated ones, and so it does with the file cut into
// parts as the workers read it.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

#include "adapter/qwen/reader.h"
#include "reader/file_parts.h"
#include "reading.h"
#include "support.h"

namespace {
// A data directory of the process, removed when it exits.
char root_dir[] = "/tmp/qwen-fuzz-XXXXXX";

std::filesystem::path chat_path() {
  static const std::filesystem::path path = [] {
    if (!::mkdtemp(root_dir)) std::abort();
    std::atexit([] { std::filesystem::remove_all(root_dir); });
    std::filesystem::create_directories(std::filesystem::path(root_dir) / "projects/myproj/chats");
    return std::filesystem::path(root_dir) / "projects/myproj/chats/chat1.jsonl";
  }();
  return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static qm::json::StrictParser reused;
  const std::filesystem::path path = chat_path();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const qm::reader::Text text{std::string(input)};
  qm::json::StrictParser fresh;
  const auto items = qm::qwen::parser::parse_file(path, text.view(), 1746093600000, fresh);
  FUZZ_CHECK(qm::qwen::parser::parse_file(path, text.view(), 1746093600000, reused) == items);
  for (const auto& i : items) {
    FUZZ_CHECK(!i.model.empty() && !i.session_id.empty() && i.project == "myproj");
    FUZZ_CHECK(i.input != 0 || i.output != 0 || i.cache_read != 0 || i.reasoning != 0);
  }

  std::vector<qm::qwen::parser::QwenChatUsage> one_by_one;
  for (const auto& line : fuzzing::lines_of(input))
    for (auto& i : qm::qwen::parser::parse_file(path, line.view(), 1746093600000, reused)) one_by_one.push_back(std::move(i));
  FUZZ_CHECK(one_by_one == items);

  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;
  qm::qwen::parser::ChatReader reader(1 + size % 61);
  auto chat = reader.read(path, 1746093600000);
  FUZZ_CHECK(chat.has_value());
  using Kept = std::tuple<std::string, std::int64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;
  std::vector<Kept> kept, got;
  std::set<std::tuple<std::string, std::string, std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>> seen;
  for (const auto& i : items)
    if (seen.emplace(i.session_id, i.timestamp_text, i.model, i.input, i.output, i.cache_read, i.reasoning).second)
      kept.emplace_back(i.model, i.timestamp, i.input, i.output, i.cache_read, i.reasoning);
  for (const auto& r : chat->items)
    got.emplace_back(chat->models[r.model], r.time_ms, r.counts.input, r.counts.output, r.counts.cache_read,
                     r.counts.reasoning);
  FUZZ_CHECK(got == kept);

  auto read_part = [&](const std::filesystem::path& p, const qm::jsonl::FilePart& part, const qm::reader::FileTime&) {
    return reader.read(p, part, 1746093600000);
  };
  auto parts = qm::reader::read_in_parts<qm::qwen::parser::ChatJoin>(path, 1 + (size / 3) % 97, read_part);
  FUZZ_CHECK(parts.has_value());
  got.clear();
  for (const auto& r : parts->items)
    got.emplace_back(parts->models[r.model], r.time_ms, r.counts.input, r.counts.output, r.counts.cache_read,
                     r.counts.reasoning);
  FUZZ_CHECK(got == kept);
  return 0;
}
