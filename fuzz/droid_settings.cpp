// Droid settings files, transcripts and model names (the first byte chooses): a settings
// file is read, passed over or refused with the reader's texts; a session always has a model
// and a provider; a cleaned model name holds no bracket, no white space or dot, and no
// separator at either end or twice in a row.
#include <cstdint>
#include <string>

#include "adapter/droid/droid.h"
#include "adapter/droid/model.h"
#include "reader/files.h"
#include "support.h"
#include "util.h"

namespace {

void check_name(const std::string& name) {
  FUZZ_CHECK(name.find_first_of("[]. \t\n\r") == std::string::npos);
  FUZZ_CHECK(!name.starts_with('-') && !name.ends_with('-'));
  FUZZ_CHECK(name.find("--") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      fuzzing::MemoryFile file(text);
      static qm::json::StrictParser parser;
      const auto session = qm::droid::read_settings(file.path(), parser);
      if (!session) {
        FUZZ_CHECK(session.error() == qm::reader::kNotUtf8 || session.error().starts_with("failed to parse Droid settings "));
        FUZZ_CHECK((session.error() == qm::reader::kNotUtf8) != qm::util::is_valid_utf8(text));
      } else if (*session) {
        FUZZ_CHECK(!(*session)->model.empty());
        FUZZ_CHECK(!(*session)->provider.empty());
      }
      break;
    }
    case 1:
      if (auto model = qm::droid::transcript_model(text)) {
        FUZZ_CHECK(!model->empty());
        check_name(*model);
      }
      break;
    default: check_name(qm::droid::normalize_model_name(text)); break;
  }
  return 0;
}
