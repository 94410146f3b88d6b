#include "adapter/openclaw/parser.h"

#include "adapter/openclaw/paths.h"
#include "date_utils.h"
#include "fast.h"
#include "reader/reader.h"

namespace qm::openclaw::parser {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

bool holds(std::string_view line, std::string_view text) { return fast::find_text(line, text) != std::string_view::npos; }

// An integer is milliseconds, a string a timestamp text; anything else gives the fallback.
std::int64_t time_of(MaybeElement value, std::int64_t fallback) {
  if (auto ms = reader::integer(value)) return *ms;
  return reader::time_text_ms(value).value_or(fallback);
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

std::expected<session_log::SessionLog, std::string> FileReader::read(const fs::path& path) {
  session_log::SessionLog log{"OpenClaw", session_id(path), {}};
  State state;  // each file starts with no model
  state.file_time = reader::file_time_ms(path).value_or(0);
  auto done = reader::for_each_line(lines_, path, [&](std::string_view line) { read_line(line, state, log); });
  if (!done) return std::unexpected(std::move(done.error()));
  return log;
}

void FileReader::read_line(std::string_view line, State& state, session_log::SessionLog& log) {
  if (!holds(line, "\"usage\"") && !holds(line, "\"model_change\"") && !holds(line, "\"model-snapshot\"")) return;
  // A line that is not valid UTF-8 does not parse.
  auto obj = parser_.parse(line);
  if (!obj || !obj->is_object()) return;
  auto type = reader::string(at(*obj, "type"));
  if (type == "model_change" || (type == "custom" && reader::string(at(*obj, "customType")) == "model-snapshot")) {
    MaybeElement source = reader::is_object(at(*obj, "data")) ? at(*obj, "data") : obj;
    if (auto model = reader::first_of(source, {"modelId", "model"}, reader::text)) state.model = std::string(*model);
    if (auto provider = reader::text(at(source, "provider"))) state.provider = std::string(*provider);
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
  u.time = time_of(stamp ? stamp : at(*obj, "timestamp"), state.file_time);
  std::string_view model = "unknown";
  if (auto own = reader::first_of(message, {"modelId", "model"}, reader::text))
    model = *own;
  else if (state.model)
    model = *state.model;
  u.model = session_log::model_label(AgentKind::OpenClaw, model);
  if (auto provider = reader::text(at(message, "provider")))
    u.provider = std::string(*provider);
  else
    u.provider = state.provider;
  log.usages.push_back(std::move(u));
}

AgentLoadResult load_openclaw_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& table) {
  reader::Run run(AgentKind::OpenClaw, options);
  std::vector<fs::path> files;
  for (const auto& root : paths::roots()) paths::collect_session_files(root, files, run.unread());

  auto logs = reader::read_files<session_log::SessionLog>(files, options.common.single_thread, run.unread(), [] {
    return [reader = FileReader()](const fs::path& path) mutable { return reader.read(path); };
  });
  return run.finish(session_log::to_records(AgentKind::OpenClaw, std::move(logs), options, table));
}

}  // namespace qm::openclaw::parser
