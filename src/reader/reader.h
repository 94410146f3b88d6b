#pragma once
// The reader toolkit: what every agent reader but Claude's and Codex's is made of. A reader is
// one folder under src/adapter/ with one entry point, registered in the agent table of
// adapter/all/registry.cpp. Its shape:
//
//   AgentLoadResult load_x_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
//     reader::Run run(AgentKind::X, options);
//     auto roots = reader::directory_roots("X_DATA_DIR", ".x", reader::NoHome::Empty);   // roots.h
//     if (!roots) return run.fail(roots.error());
//     std::vector<fs::path> files;
//     for (const auto& root : *roots) reader::walk(root / "sessions", "json", files, run.unread());  // files.h
//     reader::sort_paths(files);
//     // A file that cannot be read is passed over and counted in run.unread(); the framework
//     // then says so, once for the agent.
//     auto items = reader::parse_files<Item>(files, options.common.single_thread, run.unread(), make_file_parser);
//     reader::Prices prices(&table);                         // prices.h: once per distinct name
//     std::vector<UsageRecord> records;
//     for (const auto& item : flattened items) {
//       UsageRecord r = reader::record_at(item.model, item.time_ms, options.zone);
//       r.tokens = ...;  r.cost = prices.first_priced_cost(names, block);  r.unpriced = prices.unpriced(...);
//       records.push_back(std::move(r));
//     }
//     return run.finish(std::move(records));                 // sort, date filter, days, rows
//   }
//
// JSON Lines files are read in chunks instead: reader::read_files with a jsonl::LineReader and
// a json::StrictParser per worker, the lines cut by reader::for_each_line (files.h). A line
// that names nothing the reader looks for is passed over unparsed (line_filter.h: mind names
// spelt with escapes), and a file's usages are kept as file_usage.h's counts and numbered
// names until this thread prices them into a UsageList.
// Parse with json::StrictParser (one per worker) and read values with values.h (count,
// truncated_count, count_or_decimal, number, amount, text, first_of ...); databases go
// through sqlite.h's for_each_row, which writes the "Failed to open {} database: {}" lines
// and says which database was unreadable (`read.add_to(run.unread(), db)`).
//
// A reader of many rows (a database of messages) collects them in the compact form of
// usage_list.h instead of full records: `reader::UsageList usages(options.zone);`,
// `usages.add(time_ms, usages.model(name))` then its counts and cost, and
// `run.finish(usages)`; it parses on workers with row_workers.h's for_each_parsed_row
// (connections step the rows and workers parse and price them, this thread takes the results
// in row order) and drops repeated ids with seen.h's SeenKeys.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/agent_kind.h"
#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "progress.h"

namespace qm::reader {
class UsageList;


// One run of a reader: its progress mark (loading from the start; skipped when it fails,
// done when it finishes) and its last step.
class Run {
 public:
  Run(AgentKind kind, const all::loader::LoadOptions& options);
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  AgentLoadResult fail(std::string message);
  // Sorted by time (stable) unless the reader keeps its own order, filtered by the date
  // range, grouped by day and made rows; detected when any record was built.
  AgentLoadResult finish(std::vector<UsageRecord> records,
                         all::loader::RecordOrder order = all::loader::RecordOrder::ByTime);
  // The same for usages collected in the compact form (usage_list.h).
  AgentLoadResult finish(const UsageList& usages);

  // The files found but not read; finish() hands them on for the framework's warning.
  UnreadFiles& unread() { return unread_; }

 private:
  progress::Progress progress_;
  AgentKind kind_;
  const all::loader::LoadOptions& options_;
  UnreadFiles unread_;
};

// A record at an instant: model and its per-model key, the time and the date key in the
// report time zone. The caller fills the rest.
UsageRecord record_at(std::string model, std::int64_t time_ms, const cctz::time_zone& zone);

}  // namespace qm::reader
