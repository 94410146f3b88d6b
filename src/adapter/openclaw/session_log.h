#pragma once
// What OpenClaw and pi session logs share: an assistant message's "usage" object, and
// usages that keep the agent's recorded cost and count a message copied into a second file
// once.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "pricing/table.h"
#include "reader/file_usage.h"
#include "reader/row_workers.h"
#include "reader/usage_list.h"
#include "reader/maybe_element.h"

namespace qm::openclaw::session_log {

struct MessageUsage {
  reader::Counts counts;  // reconciled with "totalTokens"
  std::optional<double> recorded_cost;
};

// The counts of a "usage" object and its "cost"."total"; none when it counts no token.
std::optional<MessageUsage> message_usage(reader::MaybeElement usage);

// The model of a usage of a part of a log that began after the file's start, when it names
// none and the part has announced none yet: the model the lines before the part left current.
inline constexpr std::uint32_t kInheritedModel = UINT32_MAX - 1;

struct LogUsage {
  MessageUsage usage;
  std::int64_t time = 0;
  std::uint32_t model = reader::Names::kNone;  // the label ("[agent] " and the model name), of the log's models
  reader::TextRef timestamp_text;              // as the log wrote it; empty when the time alone names it
};

// The usages of one session file.
struct SessionLog {
  std::string project;
  std::string session_id;
  std::deque<LogUsage> usages;  // a deque: growing never copies what was read
  reader::Names models;
  reader::KeptTexts texts;
  // The models met, by name, and their labels' numbers: each label is made once.
  reader::Names names;
  std::vector<std::uint32_t> labels;
};

// The number of the label of a model in the log's models.
std::uint32_t label_of(SessionLog& log, AgentKind kind, std::string_view model);

// Appends the usages of the next part of the same file, their models and texts kept in
// `whole`'s; a usage of kInheritedModel takes `inherited` (a label of `whole`'s models). The
// part is left empty.
void append_part(SessionLog& whole, SessionLog&& part, std::uint32_t inherited);

// "[agent] model"
std::string model_label(AgentKind kind, std::string_view model);

// Adds the usages of all logs, in file order, to `usages`: each priced by the cost mode with
// its recorded cost; a usage equal to an earlier one (project, session, time, model, counts
// and cost) counts once.
void add_usages(std::vector<SessionLog>& logs, const all::loader::LoadOptions& options,
                const pricing::PricingTable& table, reader::UsageList& usages);

}  // namespace qm::openclaw::session_log
