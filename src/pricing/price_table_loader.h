#pragma once
// Temporary seam until the price tables land: the shared table of a run.
#include <memory>

#include "options.h"
#include "progress.h"

namespace qm::pricing {
struct PricingTable {};
inline std::unique_ptr<PricingTable> load_shared_price_table(const CommonOptions&, progress::Progress*) {
  return std::make_unique<PricingTable>();
}
}  // namespace qm::pricing
