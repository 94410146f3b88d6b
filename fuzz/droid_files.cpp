// Droid's files and names (the first byte chooses): a settings file reads the same twice; a
// model name normalises to a name without brackets, dots, white space or separator runs,
// which normalises to itself; a transcript gives such a name.
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "adapter/droid/droid.h"
#include "adapter/droid/model.h"
#include "support.h"
#include "util.h"

namespace {

namespace droid = qm::droid;

std::string describe(const std::expected<std::optional<droid::DroidSessionUsage>, std::string>& read) {
  if (!read) return "error: " + read.error();
  if (!*read) return "none";
  const auto& s = **read;
  const auto& t = s.tokens;
  return fmt::format("{}|{}|{}|{}|{} {} {} {} {}", s.session_id, s.model, s.provider, s.timestamp, t.input, t.output,
                     t.cache_creation, t.cache_read, s.reasoning);
}

void check_normal(const std::string& name) {
  FUZZ_CHECK(name.find_first_of("[].") == std::string::npos);
  FUZZ_CHECK(!name.starts_with('-') && !name.ends_with('-') && name.find("--") == std::string::npos);
  for (std::size_t i = 0; i < name.size(); ++i) FUZZ_CHECK(qm::util::space_at_front(std::string_view(name).substr(i)) == 0);
  // A name that still begins with "custom:" loses it once more.
  if (!name.starts_with("custom:")) FUZZ_CHECK(droid::normalize_model_name(name) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      static qm::json::StrictParser parser;
      const fuzzing::MemoryFile file(text);
      const auto read = droid::read_settings(file.path(), parser);
      if (read && *read) FUZZ_CHECK(!(*read)->model.empty() && !(*read)->provider.empty());
      FUZZ_CHECK(describe(droid::read_settings(file.path(), parser)) == describe(read));
      break;
    }
    case 1: check_normal(droid::normalize_model_name(text)); break;
    default:
      if (auto model = droid::transcript_model(text)) {
        FUZZ_CHECK(!model->empty());
        check_normal(*model);
      }
  }
  return 0;
}
