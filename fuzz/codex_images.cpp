// Image generation ids in a Codex rollout: the chunked reading of a file finds, in order, the
// ids that cutting the whole text at its line feeds finds, each a quoted "ig_" text within a
// line that records an image generation call.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/codex/images.h"
#include "fast.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace images = qm::codex::images;
  FuzzedDataProvider input(data, size);
  const auto chunk = input.ConsumeIntegralInRange<std::size_t>(1, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();

  std::vector<std::string> wanted;
  std::string_view rest = text;
  while (auto line = qm::fast::next_line(rest)) {
    auto id = images::image_generation_id(*line);
    if (!id) continue;
    FUZZ_CHECK(id->starts_with("ig_"));
    FUZZ_CHECK(id->find('"') == std::string_view::npos);
    FUZZ_CHECK(line->find("image_generation_call") != std::string_view::npos);
    FUZZ_CHECK(line->find("\"" + std::string(*id) + "\"") != std::string_view::npos);
    wanted.emplace_back(*id);
  }

  fuzzing::MemoryFile file(text);
  qm::jsonl::LineReader reader(chunk);
  std::vector<std::string> ids;
  FUZZ_CHECK(images::read_ids(reader, file.path(), ids));
  FUZZ_CHECK(ids == wanted);
  return 0;
}
