#pragma once
// The HTML report of --html: a data document, the compiled-in page that embeds it, both
// written to the cache directory, and the page opened in the browser.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapter/all/summary.h"

namespace qm::all::summary {

struct ReportInput {
  const std::vector<UsageRow>& rows;  // the merged rows, in any order
  const SummaryTotals& totals;
  std::int64_t now_ms = 0;
  // The "subscription" member: the JSON of the run's subscription values under --value.
  // Left empty until the run gathers them; the document then has no such member.
  std::optional<nlohmann::json> subscription;
};

// The document the page reads: "agents", "history" (days ascending), "models",
// "generatedAt", "period", "totals" and, when given, "subscription".
nlohmann::json report_data(const ReportInput& input);

// The page with the data embedded compactly; every "<" of the data is written as \u003c,
// so no name can close the script element that holds it.
std::string render_report_page(const nlohmann::json& data);

// The "reports" folder of our cache directory (`cache_dir::cache_dir`), created with its
// parents. Without one, "quillimare-reports" in the shared temporary directory: created 0700
// and used only when it is a real directory of this user. Errors begin with the path.
std::expected<std::filesystem::path, std::string> report_directory();

struct ReportFiles {
  std::filesystem::path json;
  std::filesystem::path html;
};
// "cost-report-YYYYMMDD-HHMMSS" (UTC) with ".json" (pretty) then ".html"; no page when the
// data file fails. Files are replaced, never written through a symbolic link. Errors begin
// with the path.
std::expected<ReportFiles, std::string> write_report(const std::filesystem::path& directory,
                                                     const nlohmann::json& data, std::int64_t now_ms);

// The --html step: writes the report, opens the page and prints its location. The error,
// "Failed to write HTML report {path}: {reason}", fails the run.
std::expected<void, std::string> html_report(const ReportInput& input);

}  // namespace qm::all::summary
