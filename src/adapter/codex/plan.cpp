#include "adapter/codex/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "adapter/codex/home.h"
#include "date_utils.h"
#include "fast.h"
#include "json/strict.h"
#include "sort.h"
#include "util.h"

namespace qm::codex::plan {
namespace {

using simdjson::dom::element;
using simdjson::dom::object;

constexpr std::size_t kFilesExamined = 24;
constexpr std::size_t kTailBytes = 65536;

// A member as a generic JSON value sees it: a repeated key keeps its last value.
std::optional<element> last_member(element value, std::string_view key) {
  object obj;
  if (value.get_object().get(obj)) return std::nullopt;
  std::optional<element> found;
  for (auto field : obj)
    if (field.key == key) found = field.value;
  return found;
}

bool has_member(element value, std::string_view key) { return last_member(value, key).has_value(); }

std::optional<std::string_view> string_member(element value, std::string_view key) {
  auto v = last_member(value, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get_string().value_unsafe();
}

// The tail of a file; `from_start` tells whether it begins at the first byte.
std::optional<std::string> read_tail(const std::filesystem::path& file, bool& from_start) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  auto size = static_cast<std::size_t>(st.st_size);
  off_t offset = size > kTailBytes ? static_cast<off_t>(size - kTailBytes) : 0;
  from_start = offset == 0;
  if (offset > 0 && ::lseek(fd, offset, SEEK_SET) < 0) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text(kTailBytes, '\0');
  std::size_t got = 0;
  for (;;) {
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == text.size()) break;
  }
  ::close(fd);
  text.resize(got);
  return text;
}

std::optional<RolloutRateLimits> reading_from_line(element line) {
  std::optional<element> record;
  if (auto payload = last_member(line, "payload")) {
    auto limits = last_member(*payload, "rate_limits");
    if (limits && has_member(*limits, "primary")) record = limits;
  }
  if (!record) record = find_rate_limits_object(line);
  if (!record) return std::nullopt;
  RolloutRateLimits r;
  r.limits.plan_type = std::string(string_member(*record, "plan_type").value_or(""));
  if (auto id = string_member(*record, "limit_id")) r.limits.limit_id = std::string(*id);
  r.limits.primary = parse_rate_limit_window(last_member(*record, "primary"));
  r.limits.secondary = parse_rate_limit_window(last_member(*record, "secondary"));
  if (r.limits.limit_id && *r.limits.limit_id != "codex") return std::nullopt;
  if (auto ts = string_member(line, "timestamp")) r.observed_at_ms = date_utils::parse_timestamp_ms(*ts);
  return r;
}

}  // namespace

std::optional<RateLimitWindow> parse_rate_limit_window(std::optional<element> value) {
  if (!value) return std::nullopt;
  auto used = last_member(*value, "used_percent");
  auto minutes = last_member(*value, "window_minutes");
  std::optional<double> used_percent = used ? json::as_number(*used) : std::nullopt;
  std::optional<std::uint64_t> window_minutes = minutes ? json::as_count(*minutes) : std::nullopt;
  if (!used_percent || !window_minutes) return std::nullopt;
  RateLimitWindow w{*used_percent, *window_minutes, std::nullopt};
  if (auto resets = last_member(*value, "resets_at")) w.resets_at = json::as_i64(*resets);
  return w;
}

std::optional<element> find_rate_limits_object(element value) {
  simdjson::dom::array array;
  if (!value.get_array().get(array)) {
    for (element item : array)
      if (auto found = find_rate_limits_object(item)) return found;
    return std::nullopt;
  }
  object obj;
  if (value.get_object().get(obj)) return std::nullopt;
  if (auto limits = last_member(value, "rate_limits"); limits && has_member(*limits, "primary")) return limits;
  for (const auto& [key, member] : json::members_by_key(obj))
    if (auto found = find_rate_limits_object(member)) return found;
  return std::nullopt;
}

std::optional<RolloutRateLimits> read_rollout_tail(const std::filesystem::path& file, json::StrictParser& parser) {
  bool from_start = true;
  auto tail = read_tail(file, from_start);
  if (!tail) return std::nullopt;
  std::string_view text = *tail;
  // The partial first line goes before the text is checked: a tail that begins inside a
  // multi-byte character is still a good tail.
  if (!from_start) {
    auto nl = text.find('\n');
    if (nl != std::string_view::npos) text.remove_prefix(nl + 1);
  }
  // So does a last line still being written (it is then no JSON and passed over).
  auto last_nl = text.rfind('\n');
  std::string_view complete = last_nl == std::string_view::npos ? std::string_view{} : text.substr(0, last_nl + 1);
  if (!util::is_valid_utf8(complete)) return std::nullopt;

  std::vector<std::string_view> lines;
  for (std::string_view rest = text; auto line = fast::next_line(rest);) lines.push_back(*line);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->find("rate_limits") == std::string_view::npos) continue;
    auto root = parser.parse_copy(*it);
    if (!root) continue;
    if (auto r = reading_from_line(*root)) return r;
  }
  return std::nullopt;
}

std::optional<RolloutRateLimits> read_rollout_rate_limits() {
  auto dirs = home::session_dirs();
  if (!dirs) return std::nullopt;
  std::vector<std::filesystem::path> files;
  for (const auto& d : *dirs) {
    auto more = home::rollout_files(d.dir);
    files.insert(files.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  // Rollout names begin with their start time, so the greatest names are the newest.
  std::stable_sort(files.begin(), files.end(), sort::path_file_name_less);
  json::StrictParser parser;
  std::size_t first = files.size() > kFilesExamined ? files.size() - kFilesExamined : 0;
  for (std::size_t i = files.size(); i-- > first;)
    if (auto r = read_rollout_tail(files[i], parser)) return r;
  return std::nullopt;
}

std::optional<CodexRateLimits> latest_rate_limits() {
  auto r = read_rollout_rate_limits();
  if (!r) return std::nullopt;
  return std::move(r->limits);
}

std::optional<RateLimitWindow> select_weekly_window(const CodexRateLimits& reading) {
  auto weekly = [](const std::optional<RateLimitWindow>& w) { return w && w->window_minutes >= kWeeklyWindowMinutes; };
  bool p = weekly(reading.primary), s = weekly(reading.secondary);
  if (p && s) return reading.primary->window_minutes > reading.secondary->window_minutes ? reading.primary
                                                                                          : reading.secondary;
  if (p) return reading.primary;
  if (s) return reading.secondary;
  return std::nullopt;
}

}  // namespace qm::codex::plan
