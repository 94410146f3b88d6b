// Kimi wire files and the data directory's config.json (the first byte is the length of the
// config part): read without fault, the same items from a parser that read other files
// before and from the file's lines each read alone, each of the configured model and with
// tokens.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "adapter/kimi/reader.h"
#include "reading.h"
#include "support.h"

namespace {
// A data directory of the process, removed when it exits.
char root_dir[] = "/tmp/kimi-fuzz-XXXXXX";

std::filesystem::path data_root() {
  static const bool made = [] {
    if (!::mkdtemp(root_dir)) std::abort();
    std::atexit([] { std::filesystem::remove_all(root_dir); });
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
  std::string padded(reinterpret_cast<const char*>(data) + 1 + config_size, size - 1 - config_size);
  const std::size_t text_size = padded.size();
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), text_size);
  qm::json::StrictParser fresh;
  const std::string model = qm::kimi::configured_model(data_root(), fresh);
  FUZZ_CHECK(!model.empty());
  const auto items = qm::kimi::parse_file(path, text, 1746093600000, fresh);
  FUZZ_CHECK(qm::kimi::parse_file(path, text, 1746093600000, reused) == items);
  for (const auto& i : items) {
    FUZZ_CHECK(i.model == model && i.session_id == "s");
    FUZZ_CHECK(i.input != 0 || i.output != 0 || i.cache_creation != 0 || i.cache_read != 0 || i.reasoning != 0);
  }
  std::vector<qm::kimi::KimiWireUsage> one_by_one;
  for (const auto& line : fuzzing::lines_of(text))
    if (auto i = qm::kimi::parse_wire_line(line.view(), reused, "s", model, 1746093600000)) one_by_one.push_back(std::move(*i));
  FUZZ_CHECK(one_by_one == items);
  return 0;
}
