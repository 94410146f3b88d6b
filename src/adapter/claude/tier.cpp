#include "adapter/claude/tier.h"

#include <filesystem>
#include <vector>

#include "json/strict.h"
#include "util.h"
#include "util_files.h"
#include "util_json.h"

namespace qm::claude {

std::optional<std::string> read_rate_limit_tier() {
  std::vector<std::filesystem::path> candidates;
  if (auto dirs = util::env("CLAUDE_CONFIG_DIR"); dirs && util::is_valid_utf8(*dirs))
    for (auto& dir : util::split_entries(*dirs)) candidates.push_back(std::filesystem::path(dir) / ".claude.json");
  if (auto home = util::home_dir()) candidates.push_back(std::filesystem::path(*home) / ".claude.json");

  json::StrictParser parser;
  for (const auto& path : candidates) {
    auto text = util::read_file(path);
    if (!text) continue;
    auto root = parser.parse_copy(*text);
    if (!root) continue;
    auto account = util::member(*root, "oauthAccount");
    if (!account) continue;
    for (std::string_view key : {"userRateLimitTier", "organizationRateLimitTier", "organizationType"}) {
      auto v = util::member(*account, key);
      if (v && v->is_string() && !v->get_string().value_unsafe().empty())
        return std::string(v->get_string().value_unsafe());
    }
  }
  return std::nullopt;
}

}  // namespace qm::claude
