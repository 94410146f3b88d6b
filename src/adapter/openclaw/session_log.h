#pragma once
// What OpenClaw and pi session logs share: an assistant message's "usage" object, and
// records that keep the agent's recorded cost and count a message copied into a second file
// once.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/all/loader.h"
#include "adapter/all/types.h"
#include "pricing/table.h"
#include "reader/values.h"

namespace qm::openclaw::session_log {

struct MessageUsage {
  TokenUsageRaw tokens;  // reconciled with "totalTokens"
  std::uint64_t reasoning = 0;
  std::optional<double> recorded_cost;
};

// The counts of a "usage" object and its "cost"."total"; none when it counts no token.
std::optional<MessageUsage> message_usage(reader::MaybeElement usage);

struct LogUsage {
  MessageUsage usage;
  std::optional<std::string> model;     // the label: "[agent] " and the model name
  std::optional<std::string> provider;
  std::string timestamp_text;           // as the log wrote it; empty when the time alone names it
  std::int64_t time = 0;
};

// The usages of one session file.
struct SessionLog {
  std::string project;
  std::string session_id;
  std::vector<LogUsage> usages;
};

// "[agent] model"
std::string model_label(AgentKind kind, std::string_view model);

// The records of all logs, in file order: each priced by the cost mode with its recorded
// cost; a usage equal to an earlier one (project, session, time, model, counts and cost)
// counts once.
std::vector<UsageRecord> to_records(AgentKind kind, std::vector<SessionLog> logs, const all::loader::LoadOptions& options,
                                    const pricing::PricingTable& table);

}  // namespace qm::openclaw::session_log
