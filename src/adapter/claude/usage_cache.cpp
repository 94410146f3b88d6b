#include "adapter/claude/usage_cache.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "cache_dir.h"
#include "json/strict.h"
#include "output.h"
#include "private_file.h"
#include "util.h"
#include "util_files.h"
#include "util_json.h"

namespace qm::claude::usage_cache {

std::optional<std::filesystem::path> usage_cache_path() {
  auto dir = cache_dir::cache_dir();
  if (!dir) return std::nullopt;
  return *dir / kFileName;
}

std::optional<std::int64_t> get_i64_field(simdjson::dom::element object, std::string_view key) {
  auto v = util::member(object, key);
  if (!v) return std::nullopt;
  return json::as_i64(*v);
}

ClaudeUsageCache parse_usage_cache(std::string_view text) {
  ClaudeUsageCache cache;
  json::StrictParser parser;
  auto root = parser.parse_copy(text);
  if (!root || !root->is_object()) return cache;
  cache.blocked_until = get_i64_field(*root, "blockedUntil");
  cache.fetched_at = get_i64_field(*root, "fetchedAt");
  cache.renew_blocked_until = get_i64_field(*root, "renewBlockedUntil");
  if (auto body = util::member(*root, "body"); body && body->is_string())
    cache.body = std::string(body->get_string().value_unsafe());
  return cache;
}

ClaudeUsageCache read_usage_cache() {
  auto path = usage_cache_path();
  if (!path) return {};
  auto text = util::read_file(*path);
  if (!text) return {};
  return parse_usage_cache(*text);
}

std::string usage_cache_json(const ClaudeUsageCache& cache) {
  auto value = [](const auto& v) -> nlohmann::json {
    if (!v) return nullptr;
    return *v;
  };
  nlohmann::json doc = {{"blockedUntil", value(cache.blocked_until)},
                        {"body", value(cache.body)},
                        {"fetchedAt", value(cache.fetched_at)},
                        {"renewBlockedUntil", value(cache.renew_blocked_until)}};
  return output::compact(doc);
}

void write_usage_cache(const ClaudeUsageCache& cache) {
  auto path = usage_cache_path();
  if (!path) return;
  std::error_code ec;
  std::filesystem::create_directories(path->parent_path(), ec);
  (void)private_file::replace(*path, usage_cache_json(cache));
}

}  // namespace qm::claude::usage_cache
