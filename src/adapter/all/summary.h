#pragma once
// The summary runner: what both commands run once the command line is parsed.
#include <expected>
#include <string>

#include "options.h"

namespace qm::all::summary {

std::expected<void, std::string> run_summary(const SummaryArgs& args);

}  // namespace qm::all::summary
