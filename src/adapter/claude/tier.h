#pragma once
// The account's rate-limit tier as Claude Code records it in ".claude.json", which names the
// subscription plan.
#include <optional>
#include <string>

namespace qm::claude {

// The first non-empty "userRateLimitTier", "organizationRateLimitTier" or "organizationType"
// of "oauthAccount", in ".claude.json" of each CLAUDE_CONFIG_DIR entry and then of the home
// directory. None when no file holds one.
std::optional<std::string> read_rate_limit_tier();

}  // namespace qm::claude
