#include "adapter/codex/loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "util.h"

namespace qm::codex::loader {
namespace {

using parser::CodexUsageEvent;
using Events = std::vector<CodexUsageEvent>;

// A part's events; those that came without a model wait for the one current at its start.
struct Collect final : parser::EventSink {
  Events events;
  std::vector<std::pair<std::size_t, std::string_view>> inheriting;  // event index, stand-in
  std::expected<void, std::string> offer(const parser::EventView& e) override {
    if (e.model.empty()) inheriting.emplace_back(events.size(), e.stand_in);
    events.push_back({std::string(e.timestamp), std::string(e.model), e.counts});
    return {};
  }
};

struct Reading {
  Events events;  // a file read whole: all of its events
  jsonl::FilePart part;
  std::optional<parser::PartEnd> end;  // a part's
  bool read_to_end = true;
  std::vector<std::pair<std::size_t, std::string_view>> inheriting;
};

// One part's events, read on any thread in any order.
Reading read_part(parser::RolloutReader& reader, const std::filesystem::path& file, const parser::RolloutFile& shared,
                  const jsonl::FilePart& part) {
  Collect sink;
  Reading r;
  r.part = part;
  r.end = *reader.read_part(file, shared, part, sink);  // this sink never fails
  r.read_to_end = !reader.unreadable();
  r.events = std::move(sink.events);
  r.inheriting = std::move(sink.inheriting);
  return r;
}

// The events of a file read in parts, in line order; read again whole when a part could not
// be read to its end, so that the events are those up to the first error.
void join_parts(const std::filesystem::path& file, const parser::RolloutFile& shared, std::vector<Reading>& parts,
                parser::RolloutReader& reader, Events& all) {
  const std::size_t first = all.size();
  bool whole = std::all_of(parts.begin(), parts.end(), [](const Reading& r) { return r.read_to_end; });
  parser::FileState state;
  for (std::size_t k = 0; whole && k < parts.size(); ++k) {
    Collect waiting;
    const std::optional<std::string> start_model = state.current_model;
    auto next = reader.finish_part(file, shared, parts[k].part, *parts[k].end, std::move(state), waiting);
    if (!next || reader.unreadable()) {
      whole = false;
      break;
    }
    state = std::move(*next);
    for (auto [index, stand_in] : parts[k].inheriting)
      parts[k].events[index].model = std::string(parser::inherited_model(start_model, stand_in));
    // The waiting lines' events where their lines stand.
    auto& events = parts[k].events;
    const auto before = events.begin() + static_cast<std::ptrdiff_t>(parts[k].end->offered_before);
    all.insert(all.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(before));
    all.insert(all.end(), std::make_move_iterator(waiting.events.begin()), std::make_move_iterator(waiting.events.end()));
    all.insert(all.end(), std::make_move_iterator(before), std::make_move_iterator(events.end()));
  }
  if (whole) return;
  all.resize(first);
  Events again = parser::parse_rollout_file(file, reader);
  all.insert(all.end(), std::make_move_iterator(again.begin()), std::make_move_iterator(again.end()));
}

}  // namespace

std::vector<CodexUsageEvent> load_rollouts_parallel(const std::vector<std::filesystem::path>& files,
                                                    bool single_thread, const parallel::PartSizes& sizes) {
  std::vector<parser::RolloutFile> cut(files.size());
  std::vector<std::once_flag> found(files.size());
  parallel::OpenFiles open;
  const std::size_t workers = single_thread ? 1 : parallel::available_processors();
  auto per_file = parallel::map_file_parts<Reading>(files, workers, sizes, open, [&] {
    return [&, reader = std::make_unique<parser::RolloutReader>()](std::size_t i, const jsonl::FilePart& part) {
      Reading r;
      if (part.whole() && part.count == 1) {
        r.events = parser::parse_rollout_file(files[i], *reader);
        return r;
      }
      std::call_once(found[i], [&] { cut[i] = reader->prepare(files[i]); });
      return read_part(*reader, files[i], cut[i], part);
    };
  });
  parser::RolloutReader joiner;
  Events all;
  for (std::size_t i = 0; i < per_file.size(); ++i) {
    auto& parts = per_file[i];
    if (parts.size() == 1 && !parts[0].end)
      all.insert(all.end(), std::make_move_iterator(parts[0].events.begin()),
                 std::make_move_iterator(parts[0].events.end()));
    else
      join_parts(files[i], cut[i], parts, joiner, all);
  }
  return all;
}

std::vector<CodexUsageEvent> read_in_parts(const std::filesystem::path& file, std::uint64_t part_size) {
  parser::RolloutReader reader;
  auto fd = util::open_regular(file);
  if (!fd) return parser::parse_rollout_file(file, reader);
  parallel::OpenFiles open;
  open.add(*fd);
  struct stat st;
  const auto parts = jsonl::cut_file(*fd, ::fstat(*fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0, part_size);
  const parser::RolloutFile shared = reader.prepare(file);
  std::vector<Reading> readings(parts.size());
  for (std::size_t k = parts.size(); k-- > 0;) readings[k] = read_part(reader, file, shared, parts[k]);
  Events all;
  join_parts(file, shared, readings, reader, all);
  return all;
}

}  // namespace qm::codex::loader
