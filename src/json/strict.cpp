#include "json/strict.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qm::json {
namespace {

// The parser leaves an empty [] or {} out of its depth count, so it is given one level of
// room and the true depth is measured here when the text could be that deep.
constexpr std::size_t kParserDepth = kMaxDepth + 1;

// Whether a container lies more than `levels` levels down (a container takes one level).
// Walks the parsed tree, not the text: a document of long strings has few nodes.
bool deeper_than(element value, std::size_t levels) {
  simdjson::dom::array array;
  simdjson::dom::object object;
  if (!value.get_array().get(array)) {
    if (levels == 0) return true;
    for (auto item : array)
      if (deeper_than(item, levels - 1)) return true;
  } else if (!value.get_object().get(object)) {
    if (levels == 0) return true;
    for (auto field : object)
      if (deeper_than(field.value, levels - 1)) return true;
  }
  return false;
}

bool deeper_than_limit(std::string_view text, element root) {
  // A document that parsed and is that deep opens and closes more than kMaxDepth containers.
  if (text.size() <= 2 * kMaxDepth) return false;
  std::size_t opening = 0;  // JSON texts hold few brackets: each is found by memchr
  const char* const end = text.data() + text.size();
  for (char bracket : {'[', '{'})
    for (const char* p = text.data(); opening <= kMaxDepth && p < end &&
                                      (p = static_cast<const char*>(std::memchr(p, bracket, static_cast<std::size_t>(end - p))));
         ++p)
      ++opening;
  if (opening <= kMaxDepth) return false;
  return deeper_than(root, kMaxDepth);
}

}  // namespace

StrictParser::StrictParser() {
  // Capacity grows on demand; the depth limit is fixed.
  if (parser_.allocate(1 << 16, kParserDepth) != simdjson::SUCCESS) std::abort();
}

std::optional<element> StrictParser::parse(std::string_view text) {
  if (text.size() > parser_.capacity()) {
    if (auto err = parser_.allocate(text.size(), kParserDepth)) {
      error_ = simdjson::error_message(err);
      return std::nullopt;
    }
  }
  element root;
  auto err = parser_.parse(text.data(), text.size(), false).get(root);
  if (err == simdjson::SUCCESS) {
    if (!deeper_than_limit(text, root)) return root;
    error_ = "JSON nested deeper than 128 levels";
    return std::nullopt;
  }
  error_ = simdjson::error_message(err);  // a number beyond 64 bits keeps this text when rewriting fails
  if (err == simdjson::NUMBER_ERROR) return parse_wide_integers(text);
  return std::nullopt;
}

std::optional<element> StrictParser::parse_copy(std::string_view text) {
  scratch_.assign(text);
  scratch_.append(kPadding, '\0');
  return parse(std::string_view(scratch_.data(), text.size()));
}

namespace {
bool beyond_64_bits(std::string_view digits, bool negative) {
  std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  if (digits.size() != limit.size()) return digits.size() > limit.size();
  return digits > limit;
}
}  // namespace

// An integer beyond 64 bits is still valid JSON; a generic reader keeps it as a float.
// Rewrite such literals with a ".0" so that they parse as floats (and so are never counts).
std::optional<element> StrictParser::parse_wide_integers(std::string_view text) {
  std::string copy;
  copy.reserve(text.size() + 64 + kPadding);
  bool in_string = false, changed = false;
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    if (in_string) {
      copy += c;
      if (c == '\\' && i + 1 < text.size()) copy += text[++i];
      else if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
      copy += c;
      ++i;
      continue;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t j = i + (c == '-' ? 1 : 0);
      std::size_t digits_start = j;
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
      bool is_integer = j == text.size() || (text[j] != '.' && text[j] != 'e' && text[j] != 'E');
      copy.append(text.substr(i, j - i));
      if (is_integer && beyond_64_bits(text.substr(digits_start, j - digits_start), c == '-')) {
        copy += ".0";
        changed = true;
      }
      i = j;
      continue;
    }
    copy += c;
    ++i;
  }
  if (!changed) return std::nullopt;
  std::size_t n = copy.size();
  copy.append(kPadding, '\0');
  scratch_ = std::move(copy);
  if (n > parser_.capacity() && parser_.allocate(n, kParserDepth)) return std::nullopt;
  element root;
  if (parser_.parse(scratch_.data(), n, false).get(root)) return std::nullopt;
  if (deeper_than_limit(std::string_view(scratch_.data(), n), root)) return std::nullopt;
  return root;
}

std::optional<std::uint64_t> as_count(element v) {
  switch (v.type()) {
    case simdjson::dom::element_type::INT64: {
      auto i = v.get_int64().value_unsafe();
      if (i < 0) return std::nullopt;
      return static_cast<std::uint64_t>(i);
    }
    case simdjson::dom::element_type::UINT64: return v.get_uint64().value_unsafe();
    default: return std::nullopt;
  }
}

std::optional<std::int64_t> as_i64(element v) {
  if (v.type() == simdjson::dom::element_type::INT64) return v.get_int64().value_unsafe();
  return std::nullopt;
}

std::optional<double> as_number(element v) {
  switch (v.type()) {
    case simdjson::dom::element_type::INT64: return static_cast<double>(v.get_int64().value_unsafe());
    case simdjson::dom::element_type::UINT64: return static_cast<double>(v.get_uint64().value_unsafe());
    case simdjson::dom::element_type::DOUBLE: return v.get_double().value_unsafe();
    default: return std::nullopt;
  }
}

OptString opt_string(const std::optional<element>& v) {
  if (!v || v->is_null()) return {};
  if (!v->is_string()) return {false, std::nullopt};
  return {true, v->get_string().value_unsafe()};
}

OptBool opt_bool(const std::optional<element>& v) {
  if (!v || v->is_null()) return {};
  if (!v->is_bool()) return {false, std::nullopt};
  return {true, v->get_bool().value_unsafe()};
}

OptNumber opt_number(const std::optional<element>& v) {
  if (!v || v->is_null()) return {};
  auto d = as_number(*v);
  if (!d) return {false, std::nullopt};
  return {true, d};
}

std::optional<std::string_view> enum_word(element v) {
  if (v.is_string()) return v.get_string().value_unsafe();
  object obj;
  if (v.get_object().get(obj) || obj.size() != 1) return std::nullopt;
  auto field = *obj.begin();
  if (!field.value.is_null()) return std::nullopt;
  return field.key;
}

std::vector<std::pair<std::string_view, element>> members_by_key(object obj) {
  std::vector<std::pair<std::string_view, element>> members;
  for (auto field : obj) members.emplace_back(field.key, field.value);
  // Stable, so that of a repeated key the last stays last and wins below.
  std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string_view, element>> unique;
  for (auto& m : members) {
    if (!unique.empty() && unique.back().first == m.first)
      unique.back().second = m.second;
    else
      unique.push_back(m);
  }
  return unique;
}

}  // namespace qm::json
