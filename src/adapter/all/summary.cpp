#include "adapter/all/summary.h"

namespace qm::all::summary {

std::expected<void, std::string> run_summary(const SummaryArgs&) { return {}; }

}  // namespace qm::all::summary
