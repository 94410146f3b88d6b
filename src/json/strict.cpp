#include "json/strict.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "fast.h"
#include "util.h"

namespace qm::json {
namespace {

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

}  // namespace

bool nested_deeper_than(std::string_view text, element root, std::size_t levels) {
  // A document that deep opens and closes more than `levels` containers.
  if (text.size() <= 2 * levels) return false;
  // One vectorised count for every text; the walk only for the few with that many.
  if (fast::count_either(text, '[', '{') <= levels) return false;
  return deeper_than(root, levels);
}

bool StrictParser::nested_deeper_than(std::string_view text, element root, std::size_t levels) const {
  // The tape gives every container two words, as it gives the root, and any other value at
  // least one; its first word holds the place of its last. So a tape of at most 2 * levels + 2
  // words holds at most `levels` containers.
  const std::uint64_t words = (parser_->doc.tape[0] & simdjson::internal::JSON_VALUE_MASK) + 1;
  if (words <= 2 * static_cast<std::uint64_t>(levels) + 2) return false;
  return json::nested_deeper_than(text, root, levels);
}

StrictParser::StrictParser() : parser_(std::make_unique<simdjson::dom::parser>()) {
  // Capacity grows on demand; the depth limit is fixed.
  if (parser_->allocate(1 << 16, kParserDepth) != simdjson::SUCCESS) std::abort();
}

StrictParser::StrictParser(StrictParser&&) noexcept = default;
StrictParser& StrictParser::operator=(StrictParser&&) noexcept = default;
StrictParser::~StrictParser() = default;

std::optional<element> StrictParser::parse(std::string_view text) {
  if (text.size() > parser_->capacity()) {
    if (auto err = parser_->allocate(text.size(), kParserDepth)) {
      error_ = simdjson::error_message(err);
      return std::nullopt;
    }
  }
  element root;
  auto err = parser_->parse(text.data(), text.size(), false).get(root);
  if (err == simdjson::SUCCESS) return root;
  error_ = simdjson::error_message(err);  // kept when the number was not the fault
  if (err == simdjson::NUMBER_ERROR) return parse_wide_numbers(text);
  return std::nullopt;
}

std::optional<element> StrictParser::parse_copy(std::string_view text) {
  scratch_.assign(text);
  scratch_.append(kPadding, '\0');
  return parse(std::string_view(scratch_.data(), text.size()));
}

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

bool beyond_64_bits(std::string_view digits, bool negative) {
  std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  if (digits.size() != limit.size()) return digits.size() > limit.size();
  return digits > limit;
}

// The number token that starts at `i` (a "-" or a digit), as far as number characters go.
struct NumberToken {
  std::size_t end = 0;
  std::string_view digits;  // of the integer part
  bool well_formed = false;  // a JSON number
  bool integer = false;      // without fraction or exponent
};

NumberToken number_token(std::string_view text, std::size_t i) {
  NumberToken t;
  std::size_t j = i + (text[i] == '-' ? 1 : 0);
  const std::size_t digits_start = j;
  j = skip_digits(text, j);
  t.digits = text.substr(digits_start, j - digits_start);
  t.well_formed = !t.digits.empty() && (t.digits.size() == 1 || t.digits.front() != '0');
  t.integer = true;
  if (j < text.size() && text[j] == '.') {
    const std::size_t fraction = j + 1;
    j = skip_digits(text, fraction);
    t.well_formed = t.well_formed && j > fraction;
    t.integer = false;
  }
  if (j < text.size() && (text[j] == 'e' || text[j] == 'E')) {
    ++j;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exponent = j;
    j = skip_digits(text, exponent);
    t.well_formed = t.well_formed && j > exponent;
    t.integer = false;
  }
  t.end = j;
  // What comes before and after must be no part of a number, so that a rewritten token cannot
  // join its neighbours into one.
  if (i > 0 && std::string_view(" \t\n\r,[:").find(text[i - 1]) == std::string_view::npos) t.well_formed = false;
  if (j < text.size() && std::string_view(" \t\n\r,]}").find(text[j]) == std::string_view::npos) t.well_formed = false;
  return t;
}

// The tape of a parsed document holds each number as a tag word and a payload word, every
// other value in single words, up to the root's closing word. Sets the payload of the
// numbers at the given places (counted in document order) to the given values.
void set_numbers(simdjson::dom::document& doc, const std::vector<std::pair<std::size_t, double>>& values) {
  using simdjson::internal::tape_type;
  std::size_t place = 0, next = 0;
  for (std::size_t i = 1; next < values.size();) {
    const auto tag = static_cast<tape_type>(doc.tape[i] >> 56);
    if (tag == tape_type::ROOT) break;
    if (tag != tape_type::INT64 && tag != tape_type::UINT64 && tag != tape_type::DOUBLE) {
      ++i;
      continue;
    }
    if (place++ == values[next].first) {
      doc.tape[i] = static_cast<std::uint64_t>(tape_type::DOUBLE) << 56;
      doc.tape[i + 1] = std::bit_cast<std::uint64_t>(values[next].second);
      ++next;
    }
    i += 2;
  }
}
}  // namespace

// The parser refuses two kinds of valid numbers. An integer beyond 64 bits, which a generic
// reader keeps as a float, is rewritten with a ".0" (so it is never a count). A number beyond
// a double's range, which a generic reader takes for an infinity, is rewritten as 0.0 and its
// place on the parsed tape then given the infinity.
std::optional<element> StrictParser::parse_wide_numbers(std::string_view text) {
  std::string copy;
  copy.reserve(text.size() + 64 + kPadding);
  std::vector<std::pair<std::size_t, double>> infinities;  // number place, value
  std::size_t place = 0;
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
    if (c != '-' && !is_digit(c)) {
      copy += c;
      ++i;
      continue;
    }
    // The whole number token: a fraction or an exponent makes it a float already, and its
    // digits are never an integer of their own. One that is no JSON number stays as it is
    // for the parser to refuse.
    const NumberToken t = number_token(text, i);
    const std::string_view token = text.substr(i, t.end - i);
    const bool wide = t.well_formed && t.integer && beyond_64_bits(t.digits, c == '-');
    std::optional<double> value;
    if (t.well_formed && (wide || !t.integer)) value = util::parse_f64_decimal(token);
    if (value && std::isinf(*value)) {
      copy += "0.0";
      infinities.emplace_back(place, *value);
      changed = true;
    } else {
      copy.append(token);
      if (wide) {
        copy += ".0";
        changed = true;
      }
    }
    ++place;
    i = t.end;
  }
  if (!changed) return std::nullopt;
  std::size_t n = copy.size();
  copy.append(kPadding, '\0');
  scratch_ = std::move(copy);
  if (n > parser_->capacity() && parser_->allocate(n, kParserDepth)) return std::nullopt;
  element root;
  if (parser_->parse(scratch_.data(), n, false).get(root)) return std::nullopt;
  set_numbers(parser_->doc, infinities);
  return root;
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
