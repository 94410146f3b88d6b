#include "kit/json_text.h"

#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "adapter/all/row_metadata.h"
#include "kit/reader.h"

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

// Here rather than beside the other reader helpers: the kit's one unit with the JSON library.
std::string metadata_text(const std::optional<RowMetadata>& metadata) {
  return all::types::metadata_json(metadata).dump();
}

}  // namespace qm::kit
