// Droid settings files, transcripts and model names (the first byte chooses): a settings
// file is read, passed over or refused with the reader's texts, the same again; a transcript
// read in pieces gives what it gives whole; a session
// always has a model and a provider; a cleaned model name holds no bracket, no white space or
// dot, and no separator at either end or twice in a row, and cleaning it again keeps it.
#include <cstdint>
#include <string>

#include "adapter/droid/reader.h"
#include "adapter/droid/model.h"
#include "adapter/droid/transcript.h"
#include "json/strict.h"
#include "reader/files.h"
#include "support.h"
#include "util.h"

namespace {

void check_name(const std::string& name) {
  FUZZ_CHECK(name.find_first_of("[].") == std::string::npos);
  for (std::size_t i = 0; i < name.size(); ++i) FUZZ_CHECK(qm::util::space_at_front(std::string_view(name).substr(i)) == 0);
  FUZZ_CHECK(!name.starts_with('-') && !name.ends_with('-'));
  FUZZ_CHECK(name.find("--") == std::string::npos);
  // Cleaned again it stays as it is, unless it still begins with "custom:" (cut once only).
  if (!name.starts_with("custom:")) FUZZ_CHECK(qm::droid::normalize_model_name(name) == name);
}

std::string describe(const std::expected<std::optional<qm::droid::DroidSessionUsage>, std::string>& read) {
  if (!read) return "error: " + read.error();
  if (!*read) return "none";
  const auto& s = **read;
  const auto& t = s.tokens;
  return s.session_id + "|" + s.model + "|" + s.provider + "|" + std::to_string(s.timestamp) + "|" +
         std::to_string(t.input) + "," + std::to_string(t.output) + "," + std::to_string(t.cache_creation) + "," +
         std::to_string(t.cache_read) + "," + std::to_string(s.reasoning);
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
      FUZZ_CHECK(describe(qm::droid::read_settings(file.path(), parser)) == describe(session));
      if (!session) {
        FUZZ_CHECK(session.error() == qm::reader::kNotUtf8 || session.error().starts_with("not valid JSON: "));
        FUZZ_CHECK((session.error() == qm::reader::kNotUtf8) != qm::util::is_valid_utf8(text));
      } else if (*session) {
        FUZZ_CHECK(!(*session)->model.empty());
        FUZZ_CHECK(!(*session)->provider.empty());
      }
      break;
    }
    case 1: {
      const auto model = qm::droid::transcript_model(text);
      if (model) {
        FUZZ_CHECK(!model->empty());
        check_name(*model);
      }
      // Read in pieces cut anywhere (here every 1 to 8 bytes), the same model.
      const std::size_t piece = 1 + static_cast<std::size_t>(data[0] / 3) % 8;
      qm::droid::TranscriptScan scan;
      for (std::size_t at = 0; at < text.size(); at += piece)
        if (!scan.feed(std::string_view(text).substr(at, piece))) break;
      FUZZ_CHECK(scan.finish() == model);
      break;
    }
    default: check_name(qm::droid::normalize_model_name(text)); break;
  }
  return 0;
}
