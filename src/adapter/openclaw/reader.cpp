#include "adapter/openclaw/reader.h"

#include "adapter/openclaw/paths.h"
#include "date_utils.h"
#include "fast.h"
#include "reader/files.h"
#include "reader/line_filter.h"
#include "reader/reader.h"
#include "reader/usage_list.h"
#include "reader/values.h"

namespace qm::openclaw::parser {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

// An integer is milliseconds, a string a timestamp text; anything else gives the fallback.
std::int64_t time_of(MaybeElement value, std::int64_t fallback) {
  if (auto ms = reader::integer(value)) return *ms;
  return reader::time_text_ms(value).value_or(fallback);
}

// Whether a line holds "usage", "model_change" or "model-snapshot" with their quotes; only
// such lines are parsed.
bool may_matter(std::string_view line) {
  if (reader::mentions_quoted(line, "usage\"")) return true;
  // The two names begin alike: one scan finds both.
  constexpr std::string_view kModel = "model";
  for (std::size_t at = fast::find_text(line, kModel); at != std::string_view::npos;
       at = fast::find_text(line, kModel, at + 1)) {
    const std::string_view rest = line.substr(at + kModel.size());
    if (at > 0 && line[at - 1] == '"' && (rest.starts_with("_change\"") || rest.starts_with("-snapshot\""))) return true;
  }
  return false;
}

}  // namespace

std::string session_id(const fs::path& path) {
  if (!path.has_filename()) return "unknown";
  std::string name = path.filename().string();
  auto at = name.find(".jsonl");
  if (at == 0 || at == std::string::npos) return name;
  name.resize(at);
  return name;
}

LogFold::LogFold(session_log::SessionLog& log, std::int64_t file_time, bool at_file_start)
    : log_(&log), file_time_(file_time) {
  current_.known = at_file_start;
}

void LogFold::line(std::string_view line, json::StrictParser& parser) {
  if (!may_matter(line)) return;
  // A line that is not valid UTF-8 does not parse.
  auto obj = parser.parse(line);
  if (!obj || !obj->is_object()) return;
  auto type = reader::string(at(*obj, "type"));
  if (type == "model_change" || (type == "custom" && reader::string(at(*obj, "customType")) == "model-snapshot")) {
    MaybeElement source = reader::is_object(at(*obj, "data")) ? at(*obj, "data") : obj;
    // The provider is announced too; it is no part of what is reported.
    if (auto model = reader::first_of(source, {"modelId", "model"}, reader::text))
      current_ = CurrentModel{true, session_log::label_of(*log_, AgentKind::OpenClaw, *model)};
    return;
  }
  if (type != "message") return;
  auto message = at(*obj, "message");
  if (reader::string(at(message, "role")) != "assistant" || !reader::is_object(at(message, "usage"))) return;
  auto usage = session_log::message_usage(at(message, "usage"));
  if (!usage) return;

  session_log::LogUsage u;
  u.usage = *usage;
  auto stamp = at(message, "timestamp");
  u.time = time_of(stamp ? stamp : at(*obj, "timestamp"), file_time_);
  if (auto own = reader::first_of(message, {"modelId", "model"}, reader::text)) {
    u.model = session_log::label_of(*log_, AgentKind::OpenClaw, *own);
  } else if (!current_.known) {
    u.model = session_log::kInheritedModel;
  } else if (current_.label != reader::Names::kNone) {
    u.model = current_.label;
  } else {
    u.model = session_log::label_of(*log_, AgentKind::OpenClaw, "unknown");
  }
  log_->usages.push_back(u);
}

void LogJoin::add(PartLog part) {
  std::uint32_t inherited = current_.label;
  if (inherited == reader::Names::kNone) inherited = session_log::label_of(whole_, AgentKind::OpenClaw, "unknown");
  // The label the part leaves current, in whole_'s models, before the part is let go.
  std::uint32_t left = current_.label;
  if (part.current.known)
    left = part.current.label == reader::Names::kNone ? reader::Names::kNone
                                                      : whole_.models.id(part.log.models[part.current.label]);
  session_log::append_part(whole_, std::move(part.log), inherited);
  if (part.current.known) current_.label = left;
}

std::expected<session_log::SessionLog, std::string> FileReader::read(const fs::path& path) {
  auto got = read(path, jsonl::FilePart{}, reader::file_time_ms(path).value_or(0));
  if (!got) return std::unexpected(std::move(got.error()));
  return std::move(got->log);
}

std::expected<PartLog, std::string> FileReader::read(const fs::path& path, const jsonl::FilePart& part,
                                                     std::int64_t file_time) {
  PartLog got;
  got.log.project = "OpenClaw";
  got.log.session_id = session_id(path);
  LogFold fold(got.log, file_time, part.begin == 0);  // each file starts with no model
  auto done = reader::for_each_line(lines_, path, part, [&](std::string_view line) { fold.line(line, parser_); });
  if (!done) return std::unexpected(std::move(done.error()));
  got.current = fold.current();
  return got;
}

AgentLoadResult load_openclaw_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table,
                                    const parallel::PartSizes& sizes) {
  reader::Run run(AgentKind::OpenClaw, options);
  std::vector<fs::path> files;
  for (const auto& root : paths::roots()) paths::collect_session_files(root, files, run.unread());

  auto logs = reader::read_files_with<LogJoin, FileReader>(files, options.common.single_thread, run.unread(), 0, sizes);
  reader::UsageList usages(options.zone);
  session_log::add_usages(logs, options, table, usages);
  return run.finish(usages);
}

}  // namespace qm::openclaw::parser
