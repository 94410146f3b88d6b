#pragma once
// The Amp reader: one JSON document per conversation thread below the data directories'
// "threads"; the usage ledger's events when a thread has them, else its assistant messages.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"

namespace qm::amp {

struct AmpUsage {
  TokenUsageRaw tokens;  // reconciled with the reported total
  std::uint64_t reasoning = 0;
  std::optional<std::string> record_id;
  std::optional<double> credits;
  std::string model;
  std::string timestamp_text;  // as the thread wrote it
  std::int64_t time = 0;
};

struct Thread {
  std::string id;
  bool ledger = false;  // the usages are the ledger's events
  std::vector<AmpUsage> usages;
};

AgentLoadResult load_amp_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table);

// None when the text is not a JSON document with a thread id.
std::optional<Thread> parse_thread(std::string_view text, json::StrictParser& parser);

}  // namespace qm::amp
