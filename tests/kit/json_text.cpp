#include "kit/json_text.h"

#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace qm::kit {
namespace {

std::optional<nlohmann::json> member(std::string_view document, std::string_view pointer) {
  auto doc = nlohmann::json::parse(document, nullptr, false);
  if (doc.is_discarded()) return std::nullopt;
  try {
    return doc.at(nlohmann::json::json_pointer(std::string(pointer)));
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::string json_at(std::string_view document, std::string_view pointer) {
  auto m = member(document, pointer);
  return m ? m->dump() : "<none>";
}

std::size_t json_size(std::string_view document, std::string_view pointer) {
  auto m = member(document, pointer);
  return m && m->is_structured() ? m->size() : 0;
}

std::string json_string(std::string_view document, std::string_view pointer) {
  auto m = member(document, pointer);
  return m && m->is_string() ? m->get<std::string>() : "<none>";
}

double json_number(std::string_view document, std::string_view pointer) {
  auto m = member(document, pointer);
  return m && m->is_number() ? m->get<double>() : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace qm::kit
