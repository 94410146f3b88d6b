#pragma once
// The live Codex limits and the per-day limit usage, asked of the ChatGPT backend with the
// access token that Codex keeps in its home. Nothing here fails a run: every failure is no
// reading (or no rows), without a message.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "adapter/codex/plan.h"
#include "clock.h"
#include "http/client.h"

namespace qm::codex::live_usage {

// "tokens"."access_token" of the first home's "auth.json" that has a non-empty one.
std::optional<std::string> read_access_token();

// 5 seconds for the whole request, replies up to 1,000,000 bytes.
http::Client usage_client();

// GET with the bearer token; the body when the status is 200 and the body is UTF-8.
std::optional<std::string> get_json_with_bearer(const std::string& url, std::string_view token,
                                                const http::Client& client = usage_client());

// One usage reply as a reading (limit id "codex", plan type "unknown" when none is given);
// none when it is not JSON or has no "rate_limit".
std::optional<plan::CodexRateLimits> parse_usage(std::string_view body);
// One request of "/backend-api/wham/usage".
std::optional<plan::CodexRateLimits> fetch_usage(const std::string& token);

// The samples in order (the caller's own first): a later sample replaces the running one only
// when both weekly windows have reset times within 60 s of each other, the same length, and
// the later one shows less used. The service sometimes answers from a stale replica.
std::optional<plan::CodexRateLimits> reconcile_samples(const std::vector<std::optional<plan::CodexRateLimits>>& samples);

// The live reading with its weekly used percent taken from the rollout reading when the
// rollout is at most ten minutes old, covers the same window and shows far less used
// (live > 1.5 × rollout + 3).
plan::CodexRateLimits correct_with_rollout(plan::CodexRateLimits live, const std::optional<plan::RolloutRateLimits>& rollout,
                                           std::int64_t now_ms);

// Three overlapping samples (two on threads of their own), reconciled, then checked against
// the newest rollout reading. None offline (no file read, no request) or without a token.
std::optional<plan::CodexRateLimits> fetch_live_limits(bool offline, const clock::Clock& clock = clock::system());

bool is_unknown_plan(std::string_view plan_type);

// One day of the service's own limit usage, in percent of the limit.
struct SurfaceUsage {
  std::string surface;
  double used_percent = 0.0;
  bool operator==(const SurfaceUsage&) const = default;
};
struct ModelLimitUsage {
  std::string model;
  std::optional<std::string> speed;
  double used_percent = 0.0;
  bool operator==(const ModelLimitUsage&) const = default;
};
struct CodexDailyBreakdownRow {
  std::string date;
  std::vector<SurfaceUsage> surfaces;  // largest first
  std::vector<ModelLimitUsage> models;  // largest first
  double used_percent = 0.0;           // the surfaces' sum, else the models'
  bool operator==(const CodexDailyBreakdownRow&) const = default;
};

// The rows of one breakdown reply, sorted by date; empty when the reply is not JSON, its
// "units" is not "percent" or its "data" is not an array.
std::vector<CodexDailyBreakdownRow> parse_daily_breakdown(std::string_view body);
// One request of "/backend-api/wham/usage/daily-token-usage-breakdown"; empty on any failure
// and offline. Safe to run on any thread: it shares nothing.
std::vector<CodexDailyBreakdownRow> fetch_daily_breakdown(bool offline);

// fetch_daily_breakdown on a thread of its own, started at construction. The thread owns
// what it writes, so a task that is dropped without join() is detached safely.
class DailyBreakdownTask {
 public:
  explicit DailyBreakdownTask(bool offline);
  ~DailyBreakdownTask();
  DailyBreakdownTask(const DailyBreakdownTask&) = delete;
  DailyBreakdownTask& operator=(const DailyBreakdownTask&) = delete;

  // Waits for the request; the rows (empty after the first call).
  std::vector<CodexDailyBreakdownRow> join();

 private:
  std::shared_ptr<std::vector<CodexDailyBreakdownRow>> rows_;
  std::thread thread_;
};

}  // namespace qm::codex::live_usage
