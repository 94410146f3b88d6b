// Reading Claude Code log lines into priced usage records.
#include "adapter/claude/daily.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <unordered_set>

#include "date_utils.h"
#include "fast.h"
#include "hash_mix.h"
#include "json/strict.h"
#include "no_destructor.h"
#include "pricing/cost.h"
#include "pricing/lookup.h"

namespace qm::claude {
namespace {

constexpr std::string_view kUsageText = "\"usage\":{";
constexpr std::size_t kLongestNullKey = 27;  // "cache_creation_input_tokens"

bool is_null_key(std::string_view key) {
  switch (key.size()) {
    case 2: return key == "id";
    case 3: return key == "cwd";
    case 5: return key == "speed" || key == "model";
    case 7: return key == "costUSD" || key == "version";
    case 9: return key == "requestId" || key == "sessionId";
    case 17: return key == "isApiErrorMessage";
    case 23: return key == "cache_read_input_tokens";
    case 27: return key == "cache_creation_input_tokens";
    default: return false;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool line_has_null_key(std::string_view line) {
  constexpr std::string_view kNull = ":null";
  constexpr auto npos = std::string_view::npos;
  // The nearest quote before `scanned` (npos: none), so that backward searches never pass
  // over the same text twice: matches only move forward.
  std::size_t scanned = 0, quote_before_scanned = npos;
  auto nearest_quote_before = [&](std::size_t end) {
    std::size_t q = fast::find_last(line.substr(scanned, end - scanned), '"');
    q = q == npos ? quote_before_scanned : scanned + q;
    scanned = end;
    quote_before_scanned = q;
    return q;
  };
  // Several at a time: most lines hold a few (":null" never overlaps itself).
  std::array<std::size_t, 8> hits;
  for (std::size_t from = 0;;) {
    const std::size_t n = fast::find_all(line, kNull, from, hits);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t hit = hits[i];
      if (hit == 0) continue;
      const std::size_t close = line[hit - 1] == '"' ? hit - 1 : nearest_quote_before(hit - 1);
      if (close == npos || close == 0) continue;
      // The opening quote; a key longer than any in the set need not be found.
      const std::size_t reach = std::min(close, kLongestNullKey + 1);
      const std::size_t open = line.substr(close - reach, reach).rfind('"');
      if (open == npos) continue;
      if (is_null_key(line.substr(close - reach + open + 1, reach - open - 1))) return true;
    }
    if (n < hits.size()) return false;
    from = hits[n - 1] + kNull.size();
  }
}

bool is_version_string(std::string_view text) {
  std::size_t i = 0;
  for (int part = 0; part < 2; ++part) {
    const std::size_t start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    if (i == start || i == text.size() || text[i] != '.') return false;
    ++i;
  }
  return i < text.size() && is_digit(text[i]);
}

std::uint64_t dedup_key_from_hash(std::uint64_t message_hash, std::optional<std::string_view> request_id) {
  std::uint64_t h = hash_mix::mix(message_hash);
  h ^= request_id ? hash_mix::mix(std::hash<std::string_view>{}(*request_id) + 1) : 0x2545f4914f6cdd1dULL;
  return hash_mix::mix(h);
}

}  // namespace qm::claude

namespace qm::claude::daily {
namespace {

using json::element;
using Field = std::optional<element>;

// A log line nested deeper than this is passed over.
constexpr std::size_t kMaxLineDepth = 128;

// The fields both line shapes have in common; texts point into the parsed line.
struct LineFields {
  TokenUsageRaw tokens;
  bool has_speed = false;
  std::optional<std::string_view> model, id, version, session_id, request_id;
  std::optional<double> cost;
  std::string_view timestamp;
  std::optional<bool> sidechain;
};

template <std::size_t N>
bool object_fields(element v, const std::array<std::string_view, N>& keys, std::array<Field, N>& out) {
  json::object obj;
  if (v.get_object().get(obj)) return false;
  return json::read_fields(obj, keys, out);
}

// Absent counts are 0; anything but a non-negative integer rejects the line.
bool count_or_zero(const Field& v, std::uint64_t& out) {
  if (!v) {
    out = 0;
    return true;
  }
  auto c = json::as_count(*v);
  if (!c) return false;
  out = *c;
  return true;
}

bool read_tokens(element v, LineFields& f) {
  static constexpr std::array<std::string_view, 6> kKeys = {
      "input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens",
      "speed",        "cache_creation"};
  std::array<Field, 6> in;
  if (!object_fields(v, kKeys, in) || !in[0] || !in[1]) return false;
  TokenUsageRaw& t = f.tokens;
  if (!count_or_zero(in[0], t.input) || !count_or_zero(in[1], t.output) || !count_or_zero(in[2], t.cache_creation) ||
      !count_or_zero(in[3], t.cache_read))
    return false;
  if (in[4] && !in[4]->is_null()) {
    auto word = json::enum_word(*in[4]);
    if (word == "fast")
      t.speed = Speed::Fast;
    else if (word == "standard")
      t.speed = Speed::Standard;
    else
      return false;
    f.has_speed = true;
  }
  if (in[5] && !in[5]->is_null()) {
    static constexpr std::array<std::string_view, 2> kSplit = {"ephemeral_5m_input_tokens",
                                                               "ephemeral_1h_input_tokens"};
    std::array<Field, 2> split;
    CacheCreationRaw raw;
    if (!object_fields(*in[5], kSplit, split) || !count_or_zero(split[0], raw.ephemeral_5m) ||
        !count_or_zero(split[1], raw.ephemeral_1h))
      return false;
    t.cache_creation_split = raw;
  }
  return true;
}

bool read_message(const Field& v, LineFields& f) {
  static constexpr std::array<std::string_view, 3> kKeys = {"usage", "model", "id"};
  std::array<Field, 3> in;
  if (!v || !object_fields(*v, kKeys, in) || !in[0] || !read_tokens(*in[0], f)) return false;
  auto model = json::opt_string(in[1]);
  auto id = json::opt_string(in[2]);
  if (!model.ok || !id.ok) return false;
  f.model = model.value;
  f.id = id.value;
  return true;
}

// The fields both shapes share beside the message: timestamp, cost, request id, sidechain.
bool read_common(const Field& timestamp, const Field& cost, const Field& request_id, const Field& sidechain,
                 LineFields& f) {
  if (!timestamp || !timestamp->is_string()) return false;
  f.timestamp = timestamp->get_string().value_unsafe();
  auto c = json::opt_number(cost);
  auto r = json::opt_string(request_id);
  auto s = json::opt_bool(sidechain);
  if (!c.ok || !r.ok || !s.ok) return false;
  // A cost beyond a double's range is no recorded cost: the record is priced instead.
  if (c.value && std::isfinite(*c.value)) f.cost = c.value;
  f.request_id = r.value;
  f.sidechain = s.value;
  return true;
}

std::optional<LineFields> usage_entry(element top) {
  static constexpr std::array<std::string_view, 7> kKeys = {"timestamp", "message",   "version",    "sessionId",
                                                            "costUSD",   "requestId", "isSidechain"};
  std::array<Field, 7> in;
  LineFields f;
  if (!object_fields(top, kKeys, in) || !read_common(in[0], in[4], in[5], in[6], f) || !read_message(in[1], f))
    return std::nullopt;
  auto version = json::opt_string(in[2]);
  auto session = json::opt_string(in[3]);
  if (!version.ok || !session.ok) return std::nullopt;
  f.version = version.value;
  f.session_id = session.value;
  return f;
}

// A sub-agent's reply as its parent session shows it: data.message holds the entry.
std::optional<LineFields> progress_entry(element top) {
  static constexpr std::array<std::string_view, 1> kData = {"data"};
  static constexpr std::array<std::string_view, 1> kMessage = {"message"};
  static constexpr std::array<std::string_view, 5> kKeys = {"timestamp", "message", "costUSD", "requestId",
                                                            "isSidechain"};
  std::array<Field, 1> data, message;
  std::array<Field, 5> in;
  LineFields f;
  if (!object_fields(top, kData, data) || !data[0] || !object_fields(*data[0], kMessage, message) || !message[0] ||
      !object_fields(*message[0], kKeys, in) || !read_common(in[0], in[2], in[3], in[4], f) || !read_message(in[1], f))
    return std::nullopt;
  return f;
}

bool present_but_empty(const std::optional<std::string_view>& text) { return text && text->empty(); }

}  // namespace

const std::string* intern_model_name(std::string_view name) {
  static std::mutex mutex;
  // Records of loader threads point into it.
  static NoDestructor<std::unordered_set<std::string, pricing::StringHash, std::equal_to<>>> names;
  std::lock_guard lock(mutex);
  auto it = names->find(name);
  if (it == names->end()) it = names->emplace(name).first;
  return &*it;
}

void DailyUsageRecord::set_ids(std::optional<std::string_view> message_id, std::optional<std::string_view> request_id) {
  const std::string_view m = message_id.value_or(""), r = request_id.value_or("");
  // Ids beyond 4 GB could not be read from a line anyway.
  has_message_id_ = message_id.has_value();
  has_request_id_ = request_id.has_value();
  message_id_size_ = static_cast<std::uint32_t>(m.size());
  ids_size_ = static_cast<std::uint32_t>(m.size() + r.size());
  long_ids_.reset();
  char* to = short_ids_.data();
  if (ids_size_ > short_ids_.size()) {
    long_ids_ = std::make_unique_for_overwrite<char[]>(ids_size_);
    to = long_ids_.get();
  }
  std::copy(m.begin(), m.end(), to);
  std::copy(r.begin(), r.end(), to + m.size());
  message_hash_ = message_id ? std::hash<std::string_view>{}(*message_id) : 0;
  exact_key_ = message_id ? dedup_key_from_hash(message_hash_, request_id) : 0;
}

DailyUsageRecord& DailyUsageRecord::operator=(const DailyUsageRecord& other) {
  if (this == &other) return *this;
  tokens = other.tokens;
  cost = other.cost;
  model = other.model;
  day = other.day;
  sidechain = other.sidechain;
  has_speed = other.has_speed;
  unpriced = other.unpriced;
  set_ids(other.message_id(), other.request_id());
  return *this;
}

std::string DailyUsageRecord::date() const { return date_utils::format_ymd(date_utils::civil_from_days(day)); }

void DailyUsageRecord::set_date(const date_utils::CivilDate& date) { day = date_utils::days_from_civil(date); }

FileReader::FileReader(const cctz::time_zone& zone, CostMode mode, const pricing::PricingTable* table)
    : days_(zone), mode_(mode), table_(table) {}

FileReader::ModelEntry& FileReader::model_entry(std::string_view model) {
  auto it = models_.find(model);
  if (it != models_.end()) return it->second;
  ModelEntry e;
  e.name = intern_model_name(model);
  if (table_) e.price = pricing::price_for_model(*table_, model);
  return models_.emplace(std::string(model), std::move(e)).first->second;
}

std::expected<std::vector<DailyUsageRecord>, std::string> FileReader::read(const std::filesystem::path& path,
                                                                           const jsonl::FilePart& part) {
  std::vector<DailyUsageRecord> out;
  // Most lines carry no usage block: only those that hold its text are looked at.
  bool ok = lines_.for_each_line_containing(path, part, kUsageText, [&](std::string_view line) { read_line(line, out); });
  if (!ok) return std::unexpected(lines_.error());
  out.shrink_to_fit();  // kept until every file is read: not the room that growing left
  return out;
}

namespace {

// Whether de-duplication treats r, met right after k, as k's copy: the same ids and side, so
// that both meet the same kept record, and costs that are numbers, so that the better of the
// two is the one that would be kept of both.
bool same_run(const DailyUsageRecord& k, const DailyUsageRecord& r) {
  return r.message_id() && r.exact_key() == k.exact_key() && r.sidechain.value_or(false) == k.sidechain.value_or(false) &&
         !std::isnan(r.cost) && !std::isnan(k.cost) && r.message_id() == k.message_id() && r.request_id() == k.request_id();
}

}  // namespace

void FileReader::read_line(std::string_view line, std::vector<DailyUsageRecord>& out) {
  if (line_has_null_key(line)) return;
  auto root = parser_.parse(line);
  if (!root || parser_.nested_deeper_than(line, *root, kMaxLineDepth)) return;
  auto f = usage_entry(*root);
  if (!f) f = progress_entry(*root);
  if (!f) return;
  auto ms = date_utils::parse_timestamp_ms(f->timestamp);
  if (!ms) return;
  if (f->version && !is_version_string(*f->version)) return;
  if (present_but_empty(f->session_id) || present_but_empty(f->request_id) || present_but_empty(f->id) ||
      present_but_empty(f->model))
    return;

  DailyUsageRecord r;
  r.tokens = f->tokens;
  r.has_speed = f->has_speed;
  ModelEntry* m = f->model ? &model_entry(*f->model) : nullptr;
  const pricing::ModelPrice* price = m && m->price ? &*m->price : nullptr;
  r.cost = pricing::cost_for(mode_, f->cost, price, r.tokens);
  r.unpriced = m && table_ && !price && pricing::reports_missing_price(r.tokens, f->cost.has_value(), mode_);
  if (m && *m->name != "<synthetic>") {
    if (r.tokens.speed != Speed::Fast) {
      r.model = m->name;
    } else {
      if (!m->fast_key) m->fast_key = intern_model_name(pricing::fast_model_key(*m->name));
      r.model = m->fast_key;
    }
  }
  r.set_date(days_.civil_date(*ms));
  r.set_ids(f->id, f->request_id);
  r.sidechain = f->sidechain;
  // A reply streamed over several lines is one run of copies: only the one kept counts.
  if (!out.empty() && same_run(out.back(), r)) {
    if (replaces(r, out.back())) out.back() = std::move(r);
    return;
  }
  out.push_back(std::move(r));
}

std::vector<DailyUsageRecord> parse_daily_usage_file(const std::filesystem::path& path,
                                                     const std::optional<cctz::time_zone>& zone, CostMode mode,
                                                     const pricing::PricingTable* table) {
  FileReader reader(zone ? *zone : date_utils::system_zone(), mode, table);
  return reader.read(path).value_or(std::vector<DailyUsageRecord>{});
}

}  // namespace qm::claude::daily
