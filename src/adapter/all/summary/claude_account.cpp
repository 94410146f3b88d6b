// The live Claude limits in the summary document.
#include "adapter/all/summary/value.h"

namespace qm::all::summary {

void add_claude_account(nlohmann::json& document, const claude::limits::ClaudeUsageReading& reading) {
  namespace limits = claude::limits;
  if (reading.report)
    if (auto parsed = limits::parse_usage_response(reading.report->body))
      if (auto account = limits::claude_account_json(*parsed, reading.report->observed_at))
        document["claudeAccount"] = std::move(*account);
  if (reading.sign_in_expired) document["claudeAccountStatus"] = "signInExpired";
}

}  // namespace qm::all::summary
