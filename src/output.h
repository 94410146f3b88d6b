#pragma once
// Writing JSON documents: numbers, --no-cost stripping, standard output or the user's jq.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace qm::output {

// Whole values within 2^63 become integers (saturating); other finite values floats; NaN and infinities null.
nlohmann::json json_number(double x);

// Removes "totalCost", "costUSD" and "cost" at every depth.
void strip_costs(nlohmann::json& value);

// Pretty document and a line feed on standard output, or the compact document through `jq`.
std::expected<void, std::string> emit_json(nlohmann::json document, const std::optional<std::string>& jq_filter,
                                           bool strip);

// `text` on standard output, after whatever stdio holds for it; the error is the system's
// message (a full device, a closed pipe).
std::expected<void, std::string> print(std::string_view text);

// The document text as it is written (invalid UTF-8 replaced by U+FFFD, every float in the
// shortest form that reads back as the same value). Every document quillimare writes
// goes through one of these.
std::string pretty(const nlohmann::json& document);
std::string compact(const nlohmann::json& document);

}  // namespace qm::output
