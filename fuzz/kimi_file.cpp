// Kimi wire files and the data directory's config.json (the first byte is the length of the
// config part): read without fault; the file's lines each read alone give items of the
// configured model, with tokens, the same from a parser that read other files before; the
// reader, which reads in chunks and drops repeated updates as it goes, keeps those items
// but the repeated ones, and so it does with the file cut into parts as the workers read it.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

#include "adapter/kimi/reader.h"
#include "reader/file_parts.h"
#include "reading.h"
#include "support.h"

namespace {
// A data directory of the process, removed when it exits.
char root_dir[] = "/tmp/kimi-fuzz-XXXXXX";

std::filesystem::path data_root() {
  static const bool made = [] {
    if (!::mkdtemp(root_dir)) std::abort();
    std::atexit([] { std::filesystem::remove_all(root_dir); });
    std::filesystem::create_directories(std::filesystem::path(root_dir) / "sessions/a/s");
    return true;
  }();
  (void)made;
  return root_dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser reused;
  const std::size_t config_size = std::min<std::size_t>(data[0], size - 1);
  const std::string_view config(reinterpret_cast<const char*>(data) + 1, config_size);
  std::ofstream(data_root() / "config.json", std::ios::binary | std::ios::trunc) << config;
  const std::filesystem::path path = data_root() / "sessions/a/s/wire.jsonl";
  const std::string_view text(reinterpret_cast<const char*>(data) + 1 + config_size, size - 1 - config_size);
  qm::json::StrictParser fresh;
  const std::string model = qm::kimi::configured_model(data_root(), fresh);
  FUZZ_CHECK(!model.empty());

  std::vector<qm::kimi::KimiWireUsage> items, again;
  for (const auto& line : fuzzing::lines_of(text)) {
    if (auto i = qm::kimi::parse_wire_line(line.view(), fresh, "s", model, 1746093600000)) items.push_back(std::move(*i));
    if (auto i = qm::kimi::parse_wire_line(line.view(), reused, "s", model, 1746093600000)) again.push_back(std::move(*i));
  }
  FUZZ_CHECK(again == items);
  for (const auto& i : items) {
    FUZZ_CHECK(i.model == model && i.session_id == "s");
    FUZZ_CHECK(i.counts.any());
  }

  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  qm::kimi::WireReader reader(1 + size % 61);
  auto wire = reader.read(path, 1746093600000);
  FUZZ_CHECK(wire.has_value() && wire->model == model);
  using Kept = std::tuple<std::int64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;
  std::vector<Kept> kept, got;
  std::set<std::tuple<std::string, std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>>
      seen;
  for (const auto& i : items)
    if (seen.emplace(i.message_id.value_or(""), i.timestamp_text, i.counts.input, i.counts.output, i.counts.cache_creation, i.counts.cache_read,
                     i.counts.reasoning)
            .second)
      kept.emplace_back(i.timestamp, i.counts.input, i.counts.output, i.counts.cache_creation, i.counts.cache_read, i.counts.reasoning);
  for (const auto& u : wire->updates)
    got.emplace_back(u.time_ms, u.counts.input, u.counts.output, u.counts.cache_creation, u.counts.cache_read,
                     u.counts.reasoning);
  FUZZ_CHECK(got == kept);

  auto read_part = [&](const std::filesystem::path& p, const qm::jsonl::FilePart& part, const qm::reader::FileTime&) {
    return reader.read(p, part, 1746093600000);
  };
  auto parts = qm::reader::read_in_parts<qm::kimi::WireJoin>(path, 1 + (size / 3) % 97, read_part);
  FUZZ_CHECK(parts.has_value() && parts->model == model);
  got.clear();
  for (const auto& u : parts->updates)
    got.emplace_back(u.time_ms, u.counts.input, u.counts.output, u.counts.cache_creation, u.counts.cache_read,
                     u.counts.reasoning);
  FUZZ_CHECK(got == kept);
  return 0;
}
