#pragma once
// --value in the summary: the live readings of Codex, Claude and Cursor, the subscription
// values made of them, their block on the screen and their members in the JSON document.
#include <optional>
#include <string>
#include <vector>

#include <cctz/time_zone.h>
#include <nlohmann/json.hpp>

#include "adapter/all/subscription.h"
#include "adapter/all/summary.h"
#include "adapter/claude/limits.h"
#include "clock.h"
#include "options.h"
#include "terminal/color.h"

namespace qm::all::summary {

struct ValueGathering {
  subscription::ValueReport report;  // Codex (with a limit state), Claude, Cursor: each when it has usage
  std::optional<claude::limits::ClaudeUsageReading> claude;  // for "claudeAccount"
  std::optional<nlohmann::json> cursor_account;             // "cursorAccount"
};

// The values of a run. The live readings it needs are taken at the same time, each on a
// thread of its own; `document` adds the Cursor account and the Claude reading that the JSON
// document carries (unless the --agents filter leaves that agent out).
ValueGathering gather_value(const std::vector<UsageRow>& rows, const SummaryTotals& totals, const SummaryArgs& args,
                            const cctz::time_zone& zone, bool document, const clock::Clock& clock = clock::system());

// The "subscription value" block that follows the tables.
std::string render_value_block(const subscription::ValueReport& report, const ConsoleSettings& console);

// "cursorAccount", "claudeAccount", "claudeAccountStatus" and "subscription".
void add_value_members(nlohmann::json& document, const ValueGathering& value);
// "claudeAccount" when the reading holds any limits, "claudeAccountStatus" when the sign-in
// has expired.
void add_claude_account(nlohmann::json& document, const claude::limits::ClaudeUsageReading& reading);

}  // namespace qm::all::summary
