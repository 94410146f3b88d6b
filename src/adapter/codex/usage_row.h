#pragma once
// One Codex day as a report row, priced per model. The name is the loader's, where every
// agent's rows meet; the code is the Codex reader's own, its one user, so it lives here.
#include <string>

#include "adapter/all/types.h"
#include "adapter/codex/aggregate.h"
#include "adapter/codex/home.h"
#include "pricing/table.h"

namespace qm::all::loader {

UsageRow codex_usage_row(const std::string& date, const codex::aggregate::CodexDayBucket& bucket,
                         codex::aggregate::ModelPrices& prices, codex::home::CodexServiceTier tier);
UsageRow codex_usage_row(const std::string& date, const codex::aggregate::CodexDayBucket& bucket,
                         const pricing::PricingTable& prices, codex::home::CodexServiceTier tier);

}  // namespace qm::all::loader
