// The live Claude limits in the summary document.
#include "adapter/all/summary.h"
#include "adapter/claude/limits.h"
#include "util.h"

namespace qm::all::summary {

void add_claude_account(nlohmann::json& document, const CommonOptions& options) {
  if (!options.agents.empty() && !util::slice_contains(options.agents, "claude")) return;
  namespace limits = claude::limits;
  auto reading = limits::load_usage_limits(options.offline, limits::kSummaryMaxAgeMs);
  if (reading.report)
    if (auto parsed = limits::parse_usage_response(reading.report->body))
      if (auto account = limits::claude_account_json(*parsed, reading.report->observed_at))
        document["claudeAccount"] = std::move(*account);
  if (reading.sign_in_expired) document["claudeAccountStatus"] = "signInExpired";
}

}  // namespace qm::all::summary
