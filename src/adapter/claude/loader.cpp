#include "adapter/claude/loader.h"

#include "adapter/claude/daily.h"
#include "adapter/claude/paths.h"
#include "log.h"
#include "parallel.h"
#include "pricing/table.h"
#include "progress.h"
#include "reader/files.h"
#include "reader/prices.h"

namespace qm::claude {

AgentLoadResult load_usage_entries(const all::loader::LoadOptions& options) {
  const CommonOptions& o = options.common;
  auto progress = progress::start_spinner(!o.json && log::output_enabled() && progress::spinner_enabled());
  progress::mark_loading(progress, AgentKind::Claude);
  auto dirs = claude_data_dirs();
  if (!dirs) {
    progress::mark_skipped(progress, AgentKind::Claude);
    progress::stop_spinner(progress);
    return std::unexpected(dirs.error());
  }

  std::vector<UsageGroup> groups;
  UnreadFiles unread;
  const auto files = collect_usage_files(*dirs, unread);
  if (!files.empty()) {
    // A table of its own, loaded without a spinner: this is not the framework's thread.
    const auto table = reader::own_table(o);
    const pricing::PricingTable* prices = table ? &*table : nullptr;

    const std::size_t workers = parallel::worker_count(files.size(), o.single_thread);
    auto per_file = reader::read_files<std::vector<daily::DailyUsageRecord>>(files, o.single_thread, unread, [&] {
      return [reader = daily::FileReader(options.zone, o.mode, prices)](const std::filesystem::path& path) mutable {
        return reader.read(path);
      };
    });
    groups = daily::group_by_day(daily::dedup_in_place(per_file, workers));
    // Hundreds of thousands of records: freed on several threads, not one by one here.
    parallel::run_tasks(per_file.size(), workers,
                        [&](std::size_t i) { std::vector<daily::DailyUsageRecord>().swap(per_file[i]); });
  }
  progress::mark_done(progress, AgentKind::Claude);
  progress::stop_spinner(progress);

  AgentUsage usage;
  usage.detected = !groups.empty();
  usage.unread = std::move(unread);
  const auto range = options.range();
  if (!range.unbounded())
    std::erase_if(groups, [&](const UsageGroup& g) { return !all::loader::entry_in_date_range(range, g.label); });
  usage.rows = all::loader::to_usage_rows("claude", groups);
  return usage;
}

}  // namespace qm::claude
