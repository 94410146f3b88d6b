#include "adapter/claude/loader.h"

#include <algorithm>

#include "adapter/all/loader.h"
#include "adapter/claude/daily.h"
#include "adapter/claude/paths.h"
#include "log.h"
#include "parallel.h"
#include "pricing/table.h"
#include "progress.h"
#include "reader/files.h"
#include "reader/prices.h"

namespace qm::claude {

std::vector<UsageGroup> read_usage_groups(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                          const parallel::PartSizes& sizes, const cctz::time_zone& zone, CostMode mode,
                                          const pricing::PricingTable* prices, UnreadFiles& unread) {
  using Records = std::vector<daily::DailyUsageRecord>;
  auto per_file = parallel::map_file_parts<std::expected<Records, std::string>>(files, workers, sizes, [&] {
    return [&files, reader = daily::FileReader(zone, mode, prices)](std::size_t file,
                                                                     const jsonl::FilePart& part) mutable {
      return reader.read(files[file], part);
    };
  });
  // Each part's records as a list of its own, in file order, then part order: the same
  // records in the same order as when each file is read whole. A file that fails in any part
  // is passed over whole, with the error of its first failing part.
  std::vector<Records> lists;
  lists.reserve(per_file.size());
  for (std::size_t i = 0; i < per_file.size(); ++i) {
    auto failed = std::find_if(per_file[i].begin(), per_file[i].end(), [](const auto& r) { return !r; });
    if (failed != per_file[i].end()) {
      unread.add(files[i].native(), failed->error());
      continue;
    }
    for (auto& part : per_file[i]) lists.push_back(std::move(*part));
  }
  per_file.clear();
  auto groups = daily::group_by_day(daily::dedup_in_place(lists, workers), workers);
  // Hundreds of thousands of records: freed on several threads, not one by one here.
  parallel::run_tasks(lists.size(), workers, [&](std::size_t i) { Records().swap(lists[i]); });
  return groups;
}

AgentLoadResult run_claude_loader(const all::loader::LoadOptions& options, const pricing::PricingTable&) {
  return load_usage_entries(options);
}

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
  auto files = collect_usage_files(*dirs, unread);
  if (!files.empty()) {
    // A table of its own, loaded without a spinner: this is not the framework's thread.
    auto table = reader::own_table(o);
    const pricing::PricingTable* prices = table ? &*table : nullptr;

    const std::size_t workers = o.single_thread ? 1 : parallel::available_processors();
    groups = read_usage_groups(files, workers, parallel::PartSizes{}, options.zone, o.mode, prices, unread);
    // Thousands of paths and of prices, let go side by side rather than one after the other.
    parallel::run_tasks(2, workers, [&](std::size_t i) {
      if (i == 0)
        std::vector<std::filesystem::path>().swap(files);
      else
        table.reset();
    });
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
