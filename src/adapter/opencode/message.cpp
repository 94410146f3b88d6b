#include "adapter/opencode/message.h"

#include <cmath>
#include <cstring>

#include "adapter/opencode/message_rows.h"
#include "reader/file_usage.h"
#include "reader/prices.h"
#include "util.h"

namespace qm::opencode::message {

namespace fs = std::filesystem;

std::expected<std::vector<fs::path>, std::string> data_dirs(const char* variable, std::string_view name,
                                                            reader::NoHome no_home) {
  if (auto listed = reader::env_list(variable)) return reader::existing_dirs(*listed);
  auto below_home = reader::below_home(".local/share");
  if (!below_home) {
    if (no_home == reader::NoHome::Empty) return std::vector<fs::path>{};
    return std::unexpected(below_home.error());
  }
  std::vector<fs::path> candidates{*below_home / name};
  if (auto data_home = reader::xdg_data_home()) candidates.push_back(*data_home / name);
  return reader::existing_dirs(candidates);
}

bool may_hold_tokens(std::string_view data) {
  // Look for the "k", which JSON texts hold few of, then for the name around it: from the
  // end, as the agents write the member after the message's ids and paths.
  constexpr std::string_view kName = "\"tokens\"";
  constexpr std::size_t kAt = 3;
  const char* const begin = data.data();
  const char* const end = begin + data.size();
  for (std::size_t left = data.size(); left > kAt;) {
    const char* const k = static_cast<const char*>(::memrchr(begin, 'k', left));
    if (!k) break;
    left = static_cast<std::size_t>(k - begin);
    if (left >= kAt && static_cast<std::size_t>(end - k) >= kName.size() - kAt &&
        std::string_view(k - kAt, kName.size()) == kName)
      return true;
  }
  // Else a letter of the name spelt as an escape, \u0074 for the "t" say: others (the
  // terminal's \u001b) cannot make it.
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (const char* b = begin; b < end && (b = static_cast<const char*>(std::memchr(b, '\\', static_cast<std::size_t>(end - b))));
       b += 2) {
    if (end - b < 6 || b[1] != 'u' || b[2] != '0' || b[3] != '0') continue;
    const int high = hex(b[4]), low = hex(b[5]);
    if (high >= 0 && low >= 0 && kName.substr(1, 6).find(static_cast<char>(high << 4 | low)) != std::string_view::npos)
      return true;
  }
  return false;
}

namespace {

// A key of the message's format: its few bytes are compared at once.
template <std::size_t N>
bool is(std::string_view key, const char (&name)[N]) {
  return key.size() == N - 1 && std::memcmp(key.data(), name, N - 1) == 0;
}
void keep_first(reader::MaybeElement& member, json::element value) {
  if (!member) member = value;
}

// A key and the slot that keeps the first value under it.
template <std::size_t N>
struct Wanted {
  const char (&key)[N];
  reader::MaybeElement& slot;
};
template <std::size_t N>
Wanted(const char (&)[N], reader::MaybeElement&) -> Wanted<N>;

// One pass over an object's members; the keys are known here, so each is compared at once.
template <std::size_t... N>
void keep_first_members(reader::MaybeElement object, Wanted<N>... wanted) {
  json::object obj;
  if (!object || object->get_object().get(obj)) return;
  for (auto field : obj) {
    const std::string_view key = field.key;
    (void)((is(key, wanted.key) && (keep_first(wanted.slot, field.value), true)) || ...);
  }
}

}  // namespace

Members members_of(reader::MaybeElement data) {
  Members m;
  json::object obj;
  if (!data || data->get_object().get(obj)) return m;
  for (auto field : obj) {
    const std::string_view key = field.key;
    switch (key.size()) {
      case 2:
        if (is(key, "id")) keep_first(m.id, field.value);
        break;
      case 4:
        if (is(key, "role"))
          keep_first(m.role, field.value);
        else if (is(key, "time"))
          keep_first(m.time, field.value);
        else if (is(key, "cost"))
          keep_first(m.cost, field.value);
        break;
      case 6:
        if (is(key, "tokens")) keep_first(m.tokens, field.value);
        break;
      case 7:
        if (is(key, "modelID")) keep_first(m.model_id, field.value);
        break;
      case 10:
        if (is(key, "providerID")) keep_first(m.provider_id, field.value);
        break;
      default: break;
    }
  }
  return m;
}

std::optional<std::string_view> string(const reader::MaybeElement& v) {
  if (!v || !v->is_string()) return std::nullopt;
  return v->get_string().value_unsafe();
}

std::optional<std::string_view> text(const reader::MaybeElement& v) {
  // White space that trimming drops begins and ends outside printable ASCII.
  auto printable = [](char c) { return c > ' ' && c < 0x7F; };
  const auto s = string(v);
  if (!s) return std::nullopt;
  if (!s->empty() && printable(s->front()) && printable(s->back())) return s;
  const std::string_view t = util::trim(*s);
  if (t.empty()) return std::nullopt;
  return t;
}

std::optional<double> amount(const reader::MaybeElement& v) {
  if (!v) return std::nullopt;
  const auto n = json::as_number(*v);
  if (!n || !std::isfinite(*n) || *n < 0) return std::nullopt;
  return *n + 0.0;  // -0 + 0 is +0
}

std::optional<std::int64_t> created(const reader::MaybeElement& time) {
  json::object obj;
  json::element value;
  if (!time || time->get_object().get(obj) || obj.at_key("created").get(value)) return std::nullopt;
  return json::as_i64(value);
}

bool Tokens::any() const {
  return block.input || block.output || block.cache_creation || block.cache_read || extra;
}

TokenUsageRaw Tokens::priced() const {
  TokenUsageRaw p = block;
  p.output = util::saturating_add(block.output, extra);
  return p;
}

std::uint64_t Tokens::sum() const { return reader::token_sum(priced()); }

Tokens tokens_of(reader::MaybeElement tokens, bool with_reasoning) {
  reader::MaybeElement input, output, cache, reasoning, total, write, read;
  keep_first_members(tokens, Wanted{"input", input}, Wanted{"output", output}, Wanted{"cache", cache},
                     Wanted{"reasoning", reasoning}, Wanted{"total", total});
  keep_first_members(cache, Wanted{"write", write}, Wanted{"read", read});
  // reader::count_or_zero, without copying each member on the way.
  auto count_of = [](const reader::MaybeElement& v) -> std::uint64_t { return v ? json::as_count(*v).value_or(0) : 0; };
  TokenUsageRaw block;
  block.input = count_of(input);
  block.output = count_of(output);
  block.cache_creation = count_of(write);
  block.cache_read = count_of(read);
  const auto reconciled =
      all::types::reconcile_token_total(block, with_reasoning ? count_of(reasoning) : 0, count_of(total));
  return Tokens{reconciled.block, reconciled.extra};
}

void Counted::set_tokens(const Tokens& tokens) {
  counts = reader::Counts{tokens.block.input, tokens.block.output, tokens.block.effective_cache_creation(),
                          tokens.block.cache_read, tokens.extra};
}

void Counted::keep_key(std::string_view id, reader::KeptTexts& kept) {
  key = kept.keep(id);
  key_hash = reader::SeenKeys::hash(id);
  has_key = true;
}

void Counted::keep_key(std::string_view prefix, std::string_view rest, std::uint64_t hash, reader::KeptTexts& kept) {
  key = kept.keep(rest);
  key_prefix = kept.keep_name(prefix);
  key_hash = hash;
  has_key = true;
}

void add(std::span<const std::optional<Counted>> messages, const reader::KeptTexts& kept, reader::SeenKeys& seen,
         reader::UsageList& usages) {
  constexpr std::size_t kAhead = 16;
  reader::BatchModels models(usages);
  models.reset(kept.names());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i + kAhead < messages.size() && messages[i + kAhead] && messages[i + kAhead]->has_key)
      seen.prefetch(messages[i + kAhead]->key_hash);
    if (!messages[i]) continue;
    const Counted& c = *messages[i];
    if (c.has_key) {
      const std::string_view prefix = c.key_prefix == Counted::kNoPrefix ? std::string_view() : kept.name(c.key_prefix);
      if (!seen.first(prefix, kept[c.key], c.key_hash)) continue;
    }
    reader::Usage& u = reader::add_counts(usages, c.time_ms, models.id(c.model, kept.name(c.model)), c.counts);
    u.cost = c.cost;
    u.unpriced = c.unpriced;
  }
}

}  // namespace qm::opencode::message
