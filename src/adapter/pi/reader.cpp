#include "adapter/pi/reader.h"

#include "date_utils.h"
#include "reader/files.h"
#include "reader/line_filter.h"
#include "reader/reader.h"
#include "reader/roots.h"
#include "reader/usage_list.h"
#include "reader/values.h"
#include "util.h"

namespace qm::pi {
namespace {

namespace fs = std::filesystem;
using openclaw::session_log::SessionLog;
using reader::at;

// The name "usage" and its closing quote: a rarer pair of bytes to look for than two quotes.
constexpr std::string_view kUsage = "usage\"";

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

void read_line(std::string_view line, json::StrictParser& parser, SessionLog& log) {
  if (!reader::mentions_quoted(line, kUsage) || !reader::mentions_quoted(line, "message\"")) return;
  auto obj = parser.parse(line);
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
  u.timestamp_text = log.texts.keep(*stamp);
  if (auto model = reader::text(at(message, "model")))
    u.model = openclaw::session_log::label_of(log, AgentKind::Pi, *model);
  log.usages.push_back(u);
}

void append_part(SessionLog& whole, SessionLog&& part) {
  // Every usage names its own model, or none.
  openclaw::session_log::append_part(whole, std::move(part), reader::Names::kNone);
}

std::expected<SessionLog, std::string> FileReader::read(const fs::path& path, const jsonl::FilePart& part) {
  SessionLog log;
  log.project = project_of(path);
  log.session_id = session_id(path);
  // A line that is not UTF-8 does not parse: a log cut inside a character loses that line.
  // Only the lines that name a usage are looked at.
  bool ok = lines_.for_each_line_containing(path, part, kUsage, [&](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    read_line(line, parser_, log);
  });
  if (!ok) return std::unexpected(lines_.error());
  return log;
}

AgentLoadResult load_pi_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                              const parallel::PartSizes& sizes) {
  reader::Run run(AgentKind::Pi, options);
  auto roots = reader::listed_dirs("PI_AGENT_DIR");
  if (!roots) {
    auto sessions = reader::below_home(".pi/agent/sessions");
    if (!sessions) return run.fail(std::move(sessions.error()));
    roots = reader::existing_dirs({*sessions});
  }
  std::vector<fs::path> files;
  for (const auto& root : *roots) reader::walk(root, "jsonl", files, run.unread());

  auto logs = reader::read_files_in_parts<LogJoin>(
      files, options.common.single_thread, run.unread(),
      [] {
        return [reader = FileReader()](const fs::path& path, const jsonl::FilePart& part,
                                       const reader::FileTime&) mutable { return reader.read(path, part); };
      },
      sizes);
  reader::UsageList usages(options.zone);
  openclaw::session_log::add_usages(logs, options, table, usages);
  return run.finish(usages);
}

}  // namespace qm::pi
