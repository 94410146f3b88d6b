// What the Claude service side reads (the first byte chooses): our usage cache file, the
// usage report, the credentials document and the keychain tool's attribute listing. The
// cache and the credentials document read back as written.
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/claude/credentials.h"
#include "adapter/claude/credentials_document.h"
#include "adapter/claude/limits.h"
#include "adapter/claude/usage_cache.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  namespace claude = qm::claude;
  switch (data[0] % 4) {
    case 0: {
      const auto cache = claude::usage_cache::parse_usage_cache(text);
      FUZZ_CHECK(claude::usage_cache::parse_usage_cache(claude::usage_cache::usage_cache_json(cache)) == cache);
      break;
    }
    case 1: (void)claude::limits::parse_usage_response(text); break;
    case 2:
      if (auto document = claude::credentials::parse_json_object(text)) {
        (void)claude::credentials::parse_oauth_credentials(*document);
        const std::string written = claude::credentials::document_text(*document);
        const auto again = claude::credentials::parse_json_object(written);
        FUZZ_CHECK(again == document);
        FUZZ_CHECK(again && claude::credentials::document_text(*again) == written);
      }
      break;
    default: (void)claude::credentials::account_from_attributes(text); break;
  }
  return 0;
}
