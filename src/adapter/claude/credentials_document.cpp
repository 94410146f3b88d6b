#include "adapter/claude/credentials_document.h"

#include <cstdint>
#include <vector>

#include "json/strict.h"
#include "json/tree.h"
#include "output.h"
#include "util.h"

namespace qm::claude::credentials {
namespace {

// Marks a binary value as a number's text; no JSON text reads as a binary value.
constexpr std::uint64_t kNumberTextSubtype = 0x4e;

bool starts_number(char c) { return c == '-' || (c >= '0' && c <= '9'); }
bool in_number(char c) { return starts_number(c) || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// The number tokens of a valid JSON text, in the order they appear, which is the order in
// which the parsed tree lists its numbers.
std::vector<std::string_view> number_tokens(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
      ++i;
    } else if (starts_number(text[i])) {
      std::size_t j = i + 1;
      while (j < text.size() && in_number(text[j])) ++j;
      out.push_back(text.substr(i, j - i));
      i = j;
    } else {
      ++i;
    }
  }
  return out;
}

// A number whose shortest text is not the document's own keeps the document's text.
struct NumberLeaf {
  const std::vector<std::string_view>& tokens;
  std::size_t next = 0;

  nlohmann::json operator()(simdjson::dom::element value) {
    nlohmann::json number = json::leaf_tree(value);
    if (next >= tokens.size()) return number;  // cannot happen on a text that parsed
    std::string_view token = tokens[next++];
    return output::compact(number) == token ? number : number_as_text(token);
  }
};

void append(std::string& out, const nlohmann::json& value) {
  if (auto text = number_text(value)) {
    out += *text;
  } else if (value.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [key, member] : value.items()) {
      if (!first) out += ',';
      first = false;
      out += output::compact(nlohmann::json(key));
      out += ':';
      append(out, member);
    }
    out += '}';
  } else if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& item : value) {
      if (!first) out += ',';
      first = false;
      append(out, item);
    }
    out += ']';
  } else {
    out += output::compact(value);
  }
}

}  // namespace

nlohmann::json number_as_text(std::string_view token) {
  return nlohmann::json::binary(std::vector<std::uint8_t>(token.begin(), token.end()), kNumberTextSubtype);
}

std::optional<std::string_view> number_text(const nlohmann::json& value) {
  if (!value.is_binary()) return std::nullopt;
  const auto& bytes = value.get_binary();
  if (!bytes.has_subtype() || bytes.subtype() != kNumberTextSubtype) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::optional<nlohmann::json> read_document(std::string_view text) {
  text = util::trim(text);
  json::StrictParser parser;
  auto root = parser.parse_copy(text);
  if (!root || !root->is_object()) return std::nullopt;
  const auto tokens = number_tokens(text);
  NumberLeaf number{tokens};
  return json::to_tree_with(*root, number);
}

std::string document_text(const nlohmann::json& document) {
  std::string out;
  append(out, document);
  return out;
}

}  // namespace qm::claude::credentials
