#include "adapter/codex/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "date_utils.h"
#include "fast.h"
#include "json/strict.h"
#include "util.h"

namespace qm::codex::parser {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

constexpr std::string_view kAutoReview = "codex-auto-review";
constexpr std::string_view kDefaultModel = "gpt-5";
constexpr std::size_t kSpacedScanLimit = 65536;
constexpr std::size_t kSpawnProbeBytes = 16384;
constexpr std::size_t kPrefixLength = 19;

// Newest first: the model that "codex-auto-review" stood for from each release date on.
constexpr std::string_view kAutoReviewSnapshot = R"([
  {"releasedOn": "2026-04-23", "model": "gpt-5.5"},
  {"releasedOn": "2026-03-05", "model": "gpt-5.4"},
  {"releasedOn": "2026-02-05", "model": "gpt-5.3-codex"},
  {"releasedOn": "2025-12-11", "model": "gpt-5.2-codex"},
  {"releasedOn": "2025-11-13", "model": "gpt-5.1-codex"},
  {"releasedOn": "2025-09-15", "model": "gpt-5-codex"},
  {"releasedOn": "2025-08-07", "model": "gpt-5"}
])";

struct AutoReviewFallback {
  std::string released_on;
  std::string model;
};

const std::vector<AutoReviewFallback>& auto_review_table() {
  static const std::vector<AutoReviewFallback> table = [] {
    std::vector<AutoReviewFallback> rows;
    json::StrictParser parser;
    const auto root = parser.parse_copy(kAutoReviewSnapshot);
    simdjson::dom::array list;
    bool ok = root && !root->get_array().get(list);
    if (ok)
      for (element row : list) {
        std::string_view released_on, model;
        if (row["releasedOn"].get_string().get(released_on) || row["model"].get_string().get(model)) {
          ok = false;
          break;
        }
        rows.push_back({std::string(released_on), std::string(model)});
      }
    if (!ok) {
      std::fputs("embedded codex-auto-review fallback snapshot must parse\n", stderr);
      std::abort();
    }
    return rows;
  }();
  return table;
}

bool json_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The spaced form: every "type" followed by blanks, ":", blanks and a quoted value.
bool spaced_session_line(std::string_view line) {
  bool event_msg = false, token_count = false;
  for (std::size_t pos = fast::find_text(line, "\"type\"", 0); pos != std::string_view::npos;
       pos = fast::find_text(line, "\"type\"", pos + 1)) {
    std::size_t i = pos + 6;
    while (i < line.size() && json_blank(line[i])) ++i;
    if (i >= line.size() || line[i] != ':') continue;
    ++i;
    while (i < line.size() && json_blank(line[i])) ++i;
    if (i >= line.size() || line[i] != '"') continue;
    std::string_view value = line.substr(i + 1);
    if (value.starts_with("turn_context\"")) return true;
    if (value.starts_with("event_msg\"")) event_msg = true;
    if (value.starts_with("token_count\"")) token_count = true;
    if (event_msg && token_count) return true;
  }
  return false;
}

// Like json::read_fields, but a repeated key keeps its last value, as a generic JSON value does.
template <std::size_t N>
void last_fields(object obj, const std::array<std::string_view, N>& keys, std::array<std::optional<element>, N>& out) {
  out.fill(std::nullopt);
  for (auto field : obj)
    for (std::size_t i = 0; i < N; ++i)
      if (json::same_key(field.key, keys[i])) {
        out[i] = field.value;
        break;
      }
}

std::optional<std::string_view> trimmed_text(std::optional<std::string_view> s) {
  if (!s) return std::nullopt;
  auto t = util::trim(*s);
  if (t.empty()) return std::nullopt;
  return t;
}

std::optional<std::string_view> first_model(std::optional<std::string_view> a, std::optional<std::string_view> b,
                                            std::optional<std::string_view> c) {
  if (auto m = trimmed_text(a)) return m;
  if (auto m = trimmed_text(b)) return m;
  return trimmed_text(c);
}

// "metadata"."model": any value that is not an object with a text there counts as none.
std::optional<std::string_view> metadata_model(const std::optional<element>& metadata) {
  object obj;
  if (!metadata || metadata->get_object().get(obj)) return std::nullopt;
  std::array<std::optional<element>, 1> f;
  if (!json::read_fields(obj, std::array<std::string_view, 1>{"model"}, f) || !f[0] || !f[0]->is_string())
    return std::nullopt;
  return f[0]->get_string().value_unsafe();
}

// A JSON integer from 0 to 2^64 - 1.
std::optional<std::uint64_t> json_unsigned(element v) { return json::as_count(v); }

}  // namespace

namespace {

// Whether the text begins or ends with a fixed word: compared inline, not by a call, as these
// tests run for many keys of every line.
template <std::size_t N>
bool begins_with(std::string_view text, const char (&word)[N]) {
  return text.size() >= N - 1 && std::memcmp(text.data(), word, N - 1) == 0;
}
template <std::size_t N>
bool ends_with(std::string_view text, const char (&word)[N]) {
  return text.size() >= N - 1 && std::memcmp(text.data() + text.size() - (N - 1), word, N - 1) == 0;
}

// What the fixed patterns say about a line. Every one of them ends in `":` (a quote right
// before a colon), so one pass over those pairs finds them all exactly.
struct PatternScan {
  bool event_msg = false, token_count = false, type_key = false, usage_key = false;
  bool session = false;  // decided early: turn_context, or event_msg with token_count

  // The pair ends at index c (the colon); false once the line is known to be a session line.
  bool at(std::string_view line, std::size_t c) {
    // Cheap first test: every key pattern ends in 'e' or 's' before its closing quote.
    char last = c >= 2 ? line[c - 2] : '\0';
    if (last != 'e' && last != 's') return true;
    std::string_view before = line.substr(0, c);
    if (ends_with(before, "\"type\"")) {
      type_key = true;
      std::string_view after = line.substr(c + 1);
      if (begins_with(after, "\"turn_context\"")) return !(session = true);  // with or without event_msg
      if (begins_with(after, "\"event_msg\"")) event_msg = true;
      else if (begins_with(after, "\"token_count\"")) token_count = true;
      if (event_msg && token_count) return !(session = true);
    } else if (!usage_key && (ends_with(before, "\"usage\"") || ends_with(before, "\"input_tokens\"") ||
                              ends_with(before, "\"prompt_tokens\""))) {
      usage_key = true;
    }
    return true;
  }
};

void scan_quote_colons(std::string_view line, PatternScan& scan) {
  std::array<std::size_t, 64> quotes;  // many at a time: keys are frequent
  for (std::size_t from = 0;;) {
    const std::size_t n = fast::find_all(line, "\":", from, quotes);
    for (std::size_t i = 0; i < n; ++i)
      if (!scan.at(line, quotes[i] + 1)) return;
    if (n < quotes.size()) return;
    from = quotes[n - 1] + 1;
  }
}

}  // namespace

LineKind line_kind(std::string_view line) {
  PatternScan scan;
  scan_quote_colons(line, scan);
  if (scan.session) return LineKind::Session;
  if (scan.event_msg || !scan.type_key || (line.size() < kSpacedScanLimit && scan.token_count)) {
    if (spaced_session_line(line)) return LineKind::Session;
  }
  return scan.usage_key ? LineKind::Usage : LineKind::Other;
}

std::optional<std::uint64_t> lenient_count(element value) {
  if (auto n = json_unsigned(value)) return n;
  if (!value.is_string()) return std::nullopt;
  return util::parse_u64_decimal(util::trim(value.get_string().value_unsafe()));
}

NormalisedUsage normalise_usage(element value) {
  object obj;
  if (value.get_object().get(obj)) return {};
  static constexpr std::array<std::string_view, 12> kKeys = {
      "input_tokens",  "prompt_tokens",           "input",            "cached_input_tokens",
      "cache_read_input_tokens", "cached_tokens", "output_tokens",    "completion_tokens",
      "output",        "reasoning_output_tokens", "reasoning_tokens", "total_tokens"};
  std::array<std::optional<element>, 12> fields;
  if (!json::read_fields(obj, kKeys, fields)) return {UsageStatus::Unreadable, {}};
  std::array<std::optional<std::uint64_t>, 12> c;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i]) continue;
    if (fields[i]->is_array() || fields[i]->is_object()) return {UsageStatus::Unreadable, {}};
    c[i] = lenient_count(*fields[i]);
  }
  auto first = [&](std::size_t from, std::size_t count) -> std::uint64_t {
    for (std::size_t i = from; i < from + count; ++i)
      if (c[i]) return *c[i];
    return 0;
  };
  TokenCounts t;
  t.input = first(0, 3);
  t.cached_input = first(3, 3);
  t.output = first(6, 3);
  t.reasoning_output = first(9, 2);
  t.total = c[11] && *c[11] != 0 ? *c[11] : util::saturating_add(util::saturating_add(t.input, t.output), t.reasoning_output);
  return {UsageStatus::Read, t};
}

TokenCounts token_usage_delta(const TokenCounts& total, const std::optional<TokenCounts>& previous) {
  if (!previous) return total;
  auto sub = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; };
  return {sub(total.input, previous->input), sub(total.cached_input, previous->cached_input),
          sub(total.output, previous->output), sub(total.reasoning_output, previous->reasoning_output),
          sub(total.total, previous->total)};
}

std::string_view auto_review_stand_in(std::string_view date_text) {
  if (date_text.size() >= 10 && date_utils::parse_ymd(date_text.substr(0, 10))) {
    std::string_view day = date_text.substr(0, 10);
    for (const auto& row : auto_review_table())
      if (row.released_on <= day) return row.model;
  }
  return kDefaultModel;
}

std::string_view resolve_auto_review_model(std::optional<std::string_view> line_model, std::string_view date_text,
                                           FileState& state) {
  if (line_model) {
    if (state.current_model)
      state.current_model->assign(*line_model);
    else
      state.current_model.emplace(*line_model);
  } else if (!state.current_model) {
    state.current_model.emplace(kDefaultModel);
  }
  const std::string& model = *state.current_model;
  if (model != kAutoReview) return model;
  // The current model stays "codex-auto-review", so each event resolves by its own date.
  return auto_review_stand_in(date_text);
}

std::string_view inherited_model(const std::optional<std::string>& current, std::string_view stand_in) {
  if (!current) return kDefaultModel;
  return *current == kAutoReview ? stand_in : std::string_view(*current);
}

std::string normalise_numeric_timestamp(std::uint64_t value) {
  constexpr std::uint64_t kSecondsLimit = 10'000'000'000ULL;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t ms = value <= kSecondsLimit ? value * 1000 : value;
  return date_utils::format_timestamp_ms(static_cast<std::int64_t>(ms > kMax ? kMax : ms));
}

bool is_spawned_thread_rollout(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[kSpawnProbeBytes];
  std::size_t got = 0;
  bool ok = true;
  while (got < sizeof buf) {
    ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok && fast::find_text(std::string_view(buf, got), "thread_spawn") != std::string_view::npos;
}

// One session line as Codex writes it; views into the parsed document or the reader's buffer.
struct RolloutReader::Session {
  std::optional<std::string_view> timestamp;
  std::optional<std::string_view> type;
  bool has_payload = false;
  std::optional<std::string_view> payload_type;
  std::optional<std::string_view> model, model_name, metadata_model;
  bool has_info = false;
  std::optional<std::string_view> info_model, info_model_name, info_metadata_model;
  std::optional<TokenCounts> last, total;

  std::optional<std::string_view> payload_line_model() const { return first_model(model, model_name, metadata_model); }
  std::optional<std::string_view> line_model() const {
    if (auto m = payload_line_model()) return m;
    return first_model(info_model, info_model_name, info_metadata_model);
  }
  bool is_token_count() const { return type == "event_msg" && has_payload && payload_type == "token_count"; }
};

namespace {

// Absent or null gives none; `ok` false rejects the line.
bool optional_text(const std::optional<element>& v, std::optional<std::string_view>& out) {
  out.reset();
  if (!v || v->is_null()) return true;
  if (!v->is_string()) return false;
  out = v->get_string().value_unsafe();
  return true;
}

// A usage object, when the value is one (anything but an object counts as none).
bool usage_field(const std::optional<element>& v, std::optional<TokenCounts>& out) {
  out.reset();
  if (!v) return true;
  auto u = normalise_usage(*v);
  if (u.status == UsageStatus::Unreadable) return false;
  if (u.status == UsageStatus::Read) out = u.counts;
  return true;
}

// The payload is read leniently: whatever does not read as one counts as no payload. A line
// without a payload gives nothing, so this differs from rejecting the line in name only.
template <typename Session>
bool read_payload(element value, Session& e) {
  object obj;
  if (value.get_object().get(obj)) return false;
  static constexpr std::array<std::string_view, 5> kKeys = {"type", "model", "model_name", "metadata", "info"};
  std::array<std::optional<element>, 5> f;
  if (!json::read_fields(obj, kKeys, f)) return false;
  if (!optional_text(f[0], e.payload_type) || !optional_text(f[1], e.model) || !optional_text(f[2], e.model_name))
    return false;
  e.metadata_model = metadata_model(f[3]);
  if (!f[4] || f[4]->is_null()) return true;
  object info;
  if (f[4]->get_object().get(info)) return false;
  static constexpr std::array<std::string_view, 5> kInfoKeys = {"total_token_usage", "last_token_usage", "model",
                                                                "model_name", "metadata"};
  std::array<std::optional<element>, 5> g;
  if (!json::read_fields(info, kInfoKeys, g)) return false;
  if (!usage_field(g[0], e.total) || !usage_field(g[1], e.last) || !optional_text(g[2], e.info_model) ||
      !optional_text(g[3], e.info_model_name))
    return false;
  e.info_metadata_model = metadata_model(g[4]);
  e.has_info = true;
  return true;
}

}  // namespace

RolloutReader::RolloutReader() : lines_(1 << 18) {}

std::string_view RolloutReader::fallback_time() {
  if (!state_.fallback_time) {
    struct stat st{};
    std::int64_t ms = 0;
    if (::stat(file_.c_str(), &st) == 0)
      ms = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    state_.fallback_time = date_utils::format_timestamp_ms(ms);
  }
  return *state_.fallback_time;
}

void RolloutReader::session_line(std::string_view line, EventSink& sink) {
  auto root = json_.parse(line);
  object obj;
  if (!root || root->get_object().get(obj)) return;
  static constexpr std::array<std::string_view, 3> kKeys = {"timestamp", "type", "payload"};
  std::array<std::optional<element>, 3> f;
  if (!json::read_fields(obj, kKeys, f)) return;
  Session e;
  if (f[0] && !f[0]->is_null()) {
    if (f[0]->is_string()) {
      e.timestamp = trimmed_text(f[0]->get_string().value_unsafe());
    } else if (auto n = json_unsigned(*f[0])) {
      timestamp_ = normalise_numeric_timestamp(*n);
      e.timestamp = timestamp_;
    } else {
      return;
    }
  }
  if (!optional_text(f[1], e.type)) return;
  if (f[2]) e.has_payload = read_payload(*f[2], e);
  if (!e.has_payload) {  // drop what a half-read payload left behind
    Session bare;
    bare.timestamp = e.timestamp;
    bare.type = e.type;
    e = bare;
  }

  // A total moves the running total whether its line is replayed history or not.
  auto take_total = [&] {
    if (!e.total) return;
    state_.previous_total = e.total;
    doubt_.total = false;
  };
  if ((state_.skipping || doubt_.skipping) && e.is_token_count()) {
    if (!e.timestamp) return;
    if (e.timestamp->size() < kPrefixLength || e.timestamp->substr(0, kPrefixLength) != *state_.replay_prefix) {
      state_.skipping = false;
      doubt_.skipping = false;
    } else {
      // History replayed from the parent thread: it only moves the running total. When the
      // state at the part's start does not tell whether the skipping still goes on, the line
      // may also be an event that makes its model the current one.
      if (doubt_.skipping) wait_here();
      if (e.has_info) take_total();
      if (doubt_.skipping && e.has_info && e.line_model()) doubt_.model = ModelKnown::Unknown;
      return;
    }
  }
  if (e.type == "turn_context") {
    if (!e.has_payload) return;
    if (auto m = e.payload_line_model()) {
      if (state_.current_model)
        state_.current_model->assign(*m);
      else
        state_.current_model.emplace(*m);
      doubt_.model = ModelKnown::Yes;
    }
    return;
  }
  if (!e.is_token_count() || !e.timestamp || !e.has_info) return;
  TokenCounts counts;
  if (e.last) {
    counts = *e.last;
  } else if (e.total) {
    if (doubt_.total) {
      // A delta from a running total that the part's start does not tell: whether the line
      // gives an event at all is not known.
      wait_here();
      take_total();
      if (e.line_model()) doubt_.model = ModelKnown::Unknown;
      return;
    }
    counts = token_usage_delta(*e.total, state_.previous_total);
  } else {
    return;
  }
  take_total();
  if (counts.input == 0 && counts.cached_input == 0 && counts.output == 0 && counts.reasoning_output == 0) return;
  std::string_view stand_in;
  std::string_view model = event_model(e.line_model(), *e.timestamp, stand_in);
  offer(*e.timestamp, model, counts, stand_in, sink);
}

std::string_view RolloutReader::event_model(std::optional<std::string_view> line_model, std::string_view date_text,
                                            std::string_view& stand_in) {
  if (line_model) doubt_.model = ModelKnown::Yes;
  if (doubt_.model == ModelKnown::Yes) return resolve_auto_review_model(line_model, date_text, state_);
  stand_in = auto_review_stand_in(date_text);
  return {};
}

void RolloutReader::offer(std::string_view timestamp, std::string_view model, TokenCounts& counts,
                          std::string_view stand_in, EventSink& sink) {
  if (withhold_) return;
  ++offered_;
  counts.cached_input = std::min(counts.cached_input, counts.input);
  if (auto r = sink.offer(EventView{timestamp, model, counts, stand_in}); !r) failure_ = std::move(r.error());
}

void RolloutReader::usage_line(std::string_view line, EventSink& sink) {
  auto root = json_.parse(line);
  object obj;
  if (!root || root->get_object().get(obj)) return;
  // Levels: the line itself, then "data", "result" and "response".
  enum { kTimestamp, kCreatedAt, kCreatedAtCamel, kUsage, kModel, kModelName, kMetadata, kLevelKeys };
  static constexpr std::array<std::string_view, 10> kTop = {"timestamp", "created_at", "createdAt", "usage",
                                                            "model",     "model_name", "metadata",  "data",
                                                            "result",    "response"};
  static constexpr std::array<std::string_view, kLevelKeys> kNested = {"timestamp", "created_at", "createdAt", "usage",
                                                                       "model",     "model_name", "metadata"};
  std::array<std::array<std::optional<element>, kLevelKeys>, 4> levels{};
  std::array<std::optional<element>, 10> top;
  last_fields(obj, kTop, top);
  for (std::size_t k = 0; k < kLevelKeys; ++k) levels[0][k] = top[k];
  for (std::size_t l = 1; l < 4; ++l) {
    object nested;
    if (!top[kLevelKeys + l - 1] || top[kLevelKeys + l - 1]->get_object().get(nested)) continue;
    last_fields(nested, kNested, levels[l]);
  }

  std::optional<TokenCounts> usage;
  for (const auto& level : levels) {
    if (!level[kUsage]) continue;
    auto u = normalise_usage(*level[kUsage]);
    if (u.status == UsageStatus::Read) {
      usage = u.counts;
      break;
    }
  }
  if (!usage || *usage == TokenCounts{}) return;

  auto text = [](const std::optional<element>& v) -> std::optional<std::string_view> {
    if (!v || !v->is_string()) return std::nullopt;
    return v->get_string().value_unsafe();
  };
  std::optional<std::string_view> line_model;
  for (const auto& level : levels) {
    line_model = first_model(text(level[kModel]), text(level[kModelName]), metadata_model(level[kMetadata]));
    if (line_model) break;
  }

  // A usable timestamp in normalised form, written to `out`.
  auto normalised = [](const element& v, std::string& out) {
    if (v.is_string()) {
      auto ms = date_utils::parse_timestamp_ms(util::trim(v.get_string().value_unsafe()));
      if (!ms) return false;
      out = date_utils::format_timestamp_ms(*ms);
      return true;
    }
    if (auto n = json_unsigned(v)) {
      out = normalise_numeric_timestamp(*n);
      return true;
    }
    return false;
  };
  bool have_timestamp = false;
  for (const auto& level : levels) {
    for (std::size_t k = kTimestamp; k <= kCreatedAtCamel && !have_timestamp; ++k)
      have_timestamp = level[k] && normalised(*level[k], timestamp_);
    if (have_timestamp) break;
  }
  bool have_date = false;
  for (const auto& level : levels) {
    for (std::size_t k = kTimestamp; k <= kCreatedAtCamel && !have_date; ++k) {
      if (!level[k]) continue;
      if (level[k]->is_string()) {
        std::string_view t = util::trim(level[k]->get_string().value_unsafe());
        if (t.size() >= 10 && date_utils::parse_ymd(t.substr(0, 10))) {
          date_text_.assign(t);
          have_date = true;
          continue;
        }
      }
      have_date = normalised(*level[k], date_text_);
    }
    if (have_date) break;
  }
  std::string_view timestamp = have_timestamp ? std::string_view(timestamp_) : fallback_time();
  std::string_view date_text = have_date ? std::string_view(date_text_) : fallback_time();
  std::string_view stand_in;
  std::string_view model = event_model(line_model, date_text, stand_in);
  offer(timestamp, model, *usage, stand_in, sink);
}

std::optional<std::string> RolloutReader::replayed_history_prefix(const std::filesystem::path& file) {
  std::optional<std::string> first;
  bool decided = false;
  std::optional<std::string> prefix;
  auto look_at = [&](std::string_view line) {
    if (line_kind(line) != LineKind::Session) return;
    auto root = json_.parse(line);
    object obj;
    if (!root || root->get_object().get(obj)) return;
    std::array<std::optional<element>, 3> f;
    if (!json::read_fields(obj, std::array<std::string_view, 3>{"timestamp", "type", "payload"}, f)) return;
    std::optional<std::string_view> ts;
    std::string numeric;
    if (f[0] && !f[0]->is_null()) {
      if (f[0]->is_string()) {
        ts = trimmed_text(f[0]->get_string().value_unsafe());
      } else if (auto n = json_unsigned(*f[0])) {
        numeric = normalise_numeric_timestamp(*n);
        ts = numeric;
      } else {
        return;
      }
    }
    Session e;
    if (!optional_text(f[1], e.type)) return;
    if (!f[2] || !read_payload(*f[2], e)) return;
    e.has_payload = true;
    if (!e.is_token_count() || !e.has_info || (!e.last && !e.total) || !ts) return;
    if (!first) {
      if (ts->size() < kPrefixLength) {
        decided = true;
        return;
      }
      first = std::string(ts->substr(0, kPrefixLength));
      return;
    }
    decided = true;
    if (ts->size() >= kPrefixLength && ts->substr(0, kPrefixLength) == *first) prefix = first;
  };
  lines_.for_each_line(file, [&](std::string_view line) {
    look_at(line);
    return !decided;  // the rest of the file does not change the answer
  });
  return prefix;
}

bool RolloutReader::read_lines(const std::filesystem::path& file, const jsonl::FilePart& part, EventSink& sink,
                               PartEnd* end) {
  part_end_ = end;
  offered_ = 0;
  return lines_.for_each_line(file, part, [&](std::string_view line) {
    const LineKind kind = line_kind(line);
    if (kind == LineKind::Other) return true;
    line_at_ = lines_.offset_of(line);
    withhold_ = doubt_.waiting;
    if (kind == LineKind::Session)
      session_line(line, sink);
    else
      usage_line(line, sink);
    if (doubt_.waiting && !doubt_.holds()) {
      // From here on nothing hangs on the part's start: the lines give their events again.
      doubt_.waiting = false;
      end->synced_at = line_at_ + line.size() + 1;
    }
    return !failure_;  // the sink's failure ends the file
  });
}

void RolloutReader::wait_here() {
  // Once the lines have waited, nothing hangs on the part's start any more: the running
  // total and the skipping, once known, stay known. So the lines wait once at most.
  if (doubt_.waiting || !part_end_) return;
  part_end_->wait_from = line_at_;
  part_end_->offered_before = offered_;
  part_end_->at_wait = known_state();
  doubt_.waiting = true;
  withhold_ = true;
}

PartState RolloutReader::known_state() const {
  return PartState{state_, doubt_.model == ModelKnown::Inherited, doubt_.total, doubt_.skipping};
}

FileState PartState::given(const FileState& start) const {
  FileState out = state;
  if (start_model) out.current_model = start.current_model;
  if (start_total) out.previous_total = start.previous_total;
  if (start_skipping) out.skipping = start.skipping;
  return out;
}

std::expected<void, std::string> RolloutReader::read(const std::filesystem::path& file, EventSink& sink) {
  state_ = FileState{};
  doubt_ = Doubt{};
  file_ = file;
  failure_.reset();
  unreadable_.reset();
  if (is_spawned_thread_rollout(file)) {
    state_.replay_prefix = replayed_history_prefix(file);
    state_.skipping = state_.replay_prefix.has_value();
  }
  if (!read_lines(file, jsonl::FilePart{}, sink, nullptr)) unreadable_ = lines_.error();
  if (failure_) return std::unexpected(std::move(*failure_));
  return {};
}

RolloutFile RolloutReader::prepare(const std::filesystem::path& file) {
  RolloutFile shared;
  if (is_spawned_thread_rollout(file)) shared.replay_prefix = replayed_history_prefix(file);
  state_ = FileState{};
  file_ = file;
  shared.fallback_time = std::string(fallback_time());
  return shared;
}

std::expected<PartEnd, std::string> RolloutReader::read_part(const std::filesystem::path& file,
                                                             const RolloutFile& shared, const jsonl::FilePart& part,
                                                             EventSink& sink) {
  state_ = FileState{};
  state_.replay_prefix = shared.replay_prefix;
  state_.fallback_time = shared.fallback_time;
  file_ = file;
  failure_.reset();
  unreadable_.reset();
  if (part.begin == 0) {
    // The file's start: the state is the one every file starts with.
    state_.skipping = shared.replay_prefix.has_value();
    doubt_ = Doubt{};
  } else {
    doubt_ = Doubt{.total = true, .skipping = shared.replay_prefix.has_value(), .model = ModelKnown::Inherited};
  }
  PartEnd end;
  if (!read_lines(file, part, sink, &end)) unreadable_ = lines_.error();
  if (failure_) return std::unexpected(std::move(*failure_));
  if (!doubt_.waiting) end.end = known_state();
  return end;
}

std::expected<FileState, std::string> RolloutReader::finish_part(const std::filesystem::path& file,
                                                                 const RolloutFile& shared,
                                                                 const jsonl::FilePart& part, const PartEnd& end,
                                                                 FileState start, EventSink& sink) {
  failure_.reset();
  unreadable_.reset();
  if (!end.wait_from) return end.end->given(start);
  state_ = end.at_wait.given(start);
  state_.fallback_time = shared.fallback_time;
  doubt_ = Doubt{};
  file_ = file;
  jsonl::FilePart waiting = part;
  waiting.begin = *end.wait_from;
  if (end.end) waiting.end = end.synced_at;
  if (!read_lines(file, waiting, sink, nullptr)) unreadable_ = lines_.error();
  if (failure_) return std::unexpected(std::move(*failure_));
  if (!end.end) return state_;
  return end.end->given(start);
}

std::optional<std::string> replayed_history_prefix(const std::filesystem::path& file) {
  RolloutReader reader;
  return reader.replayed_history_prefix(file);
}

std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file, RolloutReader& reader) {
  struct Collect final : EventSink {
    std::vector<CodexUsageEvent> events;
    std::expected<void, std::string> offer(const EventView& e) override {
      events.push_back({std::string(e.timestamp), std::string(e.model), e.counts});
      return {};
    }
  } sink;
  (void)reader.read(file, sink);  // this sink never fails
  return std::move(sink.events);
}

std::vector<CodexUsageEvent> parse_rollout_file(const std::filesystem::path& file) {
  RolloutReader reader;
  return parse_rollout_file(file, reader);
}

std::expected<void, std::string> parse_rollout_file_aggregated(const std::filesystem::path& file,
                                                               RolloutReader& reader, EventSink& sink) {
  return reader.read(file, sink);
}

}  // namespace qm::codex::parser
