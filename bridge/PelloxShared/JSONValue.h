#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pellox {

// Thrown by the JSON reader and by every typed decoder.
struct DecodingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Thrown by the JSON writer (a non-finite number, a string that is not UTF-8).
struct EncodingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One JSON value. Objects keep their keys in byte order, so every writer emits
// sorted keys. Integers and doubles are distinct cases: 1 and 1.0 are not equal.
struct JSONValue {
  using Array = std::vector<JSONValue>;
  using Object = std::map<std::string, JSONValue, std::less<>>;
  using Storage = std::variant<bool, std::int64_t, double, std::string, Array, Object, std::nullptr_t>;

  Storage storage = nullptr;

  JSONValue() = default;
  JSONValue(std::nullptr_t) {}
  JSONValue(bool b) : storage(b) {}
  template <std::signed_integral I>
  requires(!std::same_as<I, bool>) JSONValue(I i) : storage(static_cast<std::int64_t>(i)) {}
  JSONValue(double d) : storage(d) {}
  JSONValue(std::string s) : storage(std::move(s)) {}
  JSONValue(std::string_view s) : storage(std::string(s)) {}
  JSONValue(const char* s) : storage(std::string(s)) {}
  JSONValue(Array a) : storage(std::move(a)) {}
  JSONValue(Object o) : storage(std::move(o)) {}

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(storage); }
  bool isObject() const { return std::holds_alternative<Object>(storage); }
  const bool* boolValue() const { return std::get_if<bool>(&storage); }
  const std::int64_t* intValue() const { return std::get_if<std::int64_t>(&storage); }
  const double* doubleValue() const { return std::get_if<double>(&storage); }
  const std::string* stringValue() const { return std::get_if<std::string>(&storage); }
  const Array* arrayValue() const { return std::get_if<Array>(&storage); }
  const Object* objectValue() const { return std::get_if<Object>(&storage); }

  // The value under `key` when this is an object holding it, else null.
  const JSONValue* operator[](std::string_view key) const;

  friend bool operator==(const JSONValue& a, const JSONValue& b);
};

// Deepest nesting of arrays and objects the reader accepts; deeper text is
// refused as not JSON, which keeps every recursive walk of a value bounded.
inline constexpr std::size_t maxNestingDepth = 512;

// Parses one JSON text (surrounding whitespace allowed, nothing after it).
// Integers in the signed 64-bit range become `int`; every other number,
// including one written with a fraction or exponent such as 2.0, is `double`.
// Throws DecodingError.
JSONValue readJSON(std::string_view text);

// Compact text: no whitespace, keys sorted, "/" not escaped, non-ASCII kept
// as UTF-8. Throws EncodingError.
std::string writeJSON(const JSONValue& value);

inline JSONValue toJSON(const JSONValue& value) { return value; }
inline void fromJSON(const JSONValue& json, JSONValue& value) { value = json; }

}  // namespace pellox
