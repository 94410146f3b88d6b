#include "reader/reader.h"

#include "adapter/all/loader.h"
#include "adapter/all/registry.h"
#include "date_utils.h"
#include "log.h"
#include "reader/usage_list.h"

namespace qm::reader {

Run::Run(AgentKind kind, const all::loader::LoadOptions& options)
    : progress_(progress::start_spinner(!options.common.json && log::output_enabled() && progress::spinner_enabled())),
      kind_(kind),
      options_(options) {
  progress::mark_loading(progress_, kind_);
}

AgentLoadResult Run::fail(std::string message) {
  progress::mark_skipped(progress_, kind_);
  return std::unexpected(std::move(message));
}

AgentLoadResult Run::finish(std::vector<UsageRecord> records, all::loader::RecordOrder order) {
  progress::mark_done(progress_, kind_);
  AgentUsage usage = all::loader::records_to_usage(all::registry::agent(kind_).id, std::move(records), options_, order);
  usage.unread = std::move(unread_);
  return usage;
}

AgentLoadResult Run::finish(const UsageList& usages) {
  progress::mark_done(progress_, kind_);
  AgentUsage usage = all::loader::list_to_usage(all::registry::agent(kind_).id, usages, options_);
  usage.unread = std::move(unread_);
  return usage;
}

UsageRecord record_at(std::string model, std::int64_t time_ms, const cctz::time_zone& zone) {
  UsageRecord r;
  r.model_key = model;
  r.model = std::move(model);
  r.date_key = date_utils::format_local_date(time_ms, zone);
  r.timestamp_ms = time_ms;
  return r;
}

}  // namespace qm::reader
