#include "JSONValue.h"

#include <utility>

#include "JSONSyntax.h"
#include "JSONWriter.h"

namespace pellox {

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const Object* object = objectValue();
  if (object == nullptr) return nullptr;
  auto it = object->find(key);
  return it == object->end() ? nullptr : &it->second;
}

bool operator==(const JSONValue& a, const JSONValue& b) { return a.storage == b.storage; }

namespace {

// Builds a JSONValue from the parser's events; the parser bounds the depth.
class Builder {
 public:
  void null() { put(nullptr); }
  void boolean(bool b) { put(b); }
  void number(json::NumberToken token) {
    std::visit([this](auto n) { put(n); }, json::numberValue(token));
  }
  void string(json::StringToken token) {
    std::string s;
    json::appendDecoded(token, s);
    put(std::move(s));
  }
  void startObject(std::size_t) { open(JSONValue::Object{}); }
  void key(json::StringToken token, std::size_t) {
    keys_.back().clear();
    json::appendDecoded(token, keys_.back());
  }
  void endObject() { close(); }
  void startArray() { open(JSONValue::Array{}); }
  void endArray() { close(); }

  JSONValue root;

 private:
  void open(JSONValue container) {
    open_.push_back(std::move(container));
    keys_.emplace_back();
  }

  void close() {
    JSONValue done = std::move(open_.back());
    open_.pop_back();
    keys_.pop_back();
    put(std::move(done));
  }

  void put(JSONValue value) {
    if (open_.empty()) {
      root = std::move(value);
    } else if (auto* array = std::get_if<JSONValue::Array>(&open_.back().storage)) {
      array->push_back(std::move(value));
    } else {
      // A repeated key keeps its last value.
      std::get<JSONValue::Object>(open_.back().storage).insert_or_assign(keys_.back(), std::move(value));
    }
  }

  std::vector<JSONValue> open_;
  std::vector<std::string> keys_;
};

}  // namespace

JSONValue readJSON(std::string_view text) {
  Builder builder;
  json::parse(text, builder);
  return std::move(builder.root);
}

std::string writeJSON(const JSONValue& value) {
  JSONWriter out;
  out.write(value);
  return std::move(out.text());
}

}  // namespace pellox
