#include "JSONValue.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

namespace pellox {

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const Object* object = objectValue();
  if (object == nullptr) return nullptr;
  auto it = object->find(key);
  return it == object->end() ? nullptr : &it->second;
}

bool operator==(const JSONValue& a, const JSONValue& b) { return a.storage == b.storage; }

namespace {

// Builds a JSONValue straight from the parser's events; nlohmann's event loop
// is iterative, so refusing to open a container past the cap bounds the depth.
class Builder {
 public:
  using json = nlohmann::json;

  bool null() { return put(nullptr); }
  bool boolean(bool b) { return put(b); }
  bool number_integer(json::number_integer_t i) { return put(static_cast<std::int64_t>(i)); }
  bool number_unsigned(json::number_unsigned_t u) {
    if (u <= static_cast<json::number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return put(static_cast<std::int64_t>(u));
    }
    return put(static_cast<double>(u));
  }
  bool number_float(json::number_float_t d, const json::string_t&) { return put(static_cast<double>(d)); }
  bool string(json::string_t& s) { return put(std::move(s)); }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(JSONValue::Object{}); }
  bool key(json::string_t& k) {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(JSONValue::Array{}); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error_ = e.what();
    return false;
  }

  std::optional<JSONValue> root;
  std::string error_;

 private:
  bool open(JSONValue container) {
    if (open_.size() >= maxNestingDepth) {
      error_ = "nesting deeper than " + std::to_string(maxNestingDepth) + " levels";
      return false;
    }
    open_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }

  bool close() {
    JSONValue done = std::move(open_.back());
    open_.pop_back();
    keys_.pop_back();
    return put(std::move(done));
  }

  bool put(JSONValue value) {
    if (open_.empty()) {
      root = std::move(value);
    } else if (auto* array = std::get_if<JSONValue::Array>(&open_.back().storage)) {
      array->push_back(std::move(value));
    } else {
      // A repeated key keeps its last value.
      std::get<JSONValue::Object>(open_.back().storage).insert_or_assign(keys_.back(), std::move(value));
    }
    return true;
  }

  std::vector<JSONValue> open_;
  std::vector<std::string> keys_;
};

nlohmann::json toLibrary(const JSONValue& value) {
  struct Visitor {
    nlohmann::json operator()(bool b) const { return b; }
    nlohmann::json operator()(std::int64_t i) const { return i; }
    nlohmann::json operator()(double d) const {
      if (!std::isfinite(d)) throw EncodingError("number is not finite");
      return d;
    }
    nlohmann::json operator()(const std::string& s) const { return s; }
    nlohmann::json operator()(const JSONValue::Array& a) const {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& element : a) out.push_back(toLibrary(element));
      return out;
    }
    nlohmann::json operator()(const JSONValue::Object& o) const {
      nlohmann::json out = nlohmann::json::object();
      for (const auto& [key, element] : o) out.emplace(key, toLibrary(element));
      return out;
    }
    nlohmann::json operator()(std::nullptr_t) const { return nullptr; }
  };
  return std::visit(Visitor{}, value.storage);
}

}  // namespace

JSONValue readJSON(std::string_view text) {
  Builder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const nlohmann::json::exception& e) {
    throw DecodingError(e.what());
  }
  if (!ok || !builder.root) throw DecodingError(builder.error_.empty() ? "not JSON" : builder.error_);
  return std::move(*builder.root);
}

std::string writeJSON(const JSONValue& value) {
  try {
    return toLibrary(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    throw EncodingError(e.what());
  }
}

}  // namespace pellox
