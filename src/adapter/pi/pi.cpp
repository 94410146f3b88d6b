#include "adapter/pi/pi.h"

#include "date_utils.h"
#include "fast.h"
#include "reader/reader.h"
#include "util.h"

namespace qm::pi {
namespace {

namespace fs = std::filesystem;
using openclaw::session_log::SessionLog;
using reader::at;

bool holds(std::string_view line, std::string_view text) { return fast::find_text(line, text) != std::string_view::npos; }

}  // namespace

std::string project_of(const fs::path& path) {
  for (auto it = path.begin(); it != path.end(); ++it)
    if (*it == "sessions" && std::next(it) != path.end()) return std::next(it)->string();
  return "unknown";
}

std::string session_id(const fs::path& path) {
  auto stem = reader::file_stem(path);
  if (!stem) return "unknown";
  auto underscore = stem->find('_');
  return underscore == std::string::npos ? std::move(*stem) : stem->substr(underscore + 1);
}

std::expected<SessionLog, std::string> FileReader::read(const fs::path& path) {
  SessionLog log{project_of(path), session_id(path), {}};
  // A line that is not UTF-8 does not parse: a log cut inside a character loses that line.
  auto done = reader::for_each_line(lines_, path, [&](std::string_view line) { read_line(line, log); });
  if (!done) return std::unexpected(std::move(done.error()));
  return log;
}

void FileReader::read_line(std::string_view line, SessionLog& log) {
  if (!holds(line, "\"usage\"") || !holds(line, "\"message\"")) return;
  auto obj = parser_.parse(line);
  if (!obj || !obj->is_object()) return;
  if (auto type = at(*obj, "type"); type && reader::string(type) != "message") return;
  auto message = at(*obj, "message");
  if (reader::string(at(message, "role")) != "assistant" || !at(message, "usage")) return;
  auto stamp = reader::text(at(*obj, "timestamp"));
  auto time = stamp ? date_utils::parse_timestamp_ms(*stamp) : std::nullopt;
  if (!time) return;
  auto usage = openclaw::session_log::message_usage(at(message, "usage"));
  if (!usage) return;

  openclaw::session_log::LogUsage u;
  u.usage = *usage;
  u.time = *time;
  u.timestamp_text = std::string(*stamp);
  if (auto model = reader::text(at(message, "model"))) u.model = openclaw::session_log::model_label(AgentKind::Pi, *model);
  log.usages.push_back(std::move(u));
}

AgentLoadResult load_pi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::Pi, options);
  auto roots = reader::listed_dirs("PI_AGENT_DIR");
  if (!roots) {
    auto sessions = reader::below_home(".pi/agent/sessions");
    if (!sessions) return run.fail(std::move(sessions.error()));
    roots = reader::existing_dirs({*sessions});
  }
  std::vector<fs::path> files;
  for (const auto& root : *roots) reader::walk(root, "jsonl", files, run.unread());

  auto logs = reader::read_files<SessionLog>(files, options.common.single_thread, run.unread(), [] {
    return [reader = FileReader()](const fs::path& path) mutable { return reader.read(path); };
  });
  return run.finish(openclaw::session_log::to_records(AgentKind::Pi, std::move(logs), options, table));
}

}  // namespace qm::pi
