#pragma once
// How a Droid session's model and provider are settled and under which names it is priced.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/dom_fwd.h"

namespace qm::droid {

// The member's text trimmed, when it is a string that is not blank.
std::optional<std::string_view> get_trimmed_string(json::element object, std::string_view key);

// "custom:" and bracketed parts dropped, lowercased, separator runs as one "-".
std::string normalize_model_name(std::string_view text);

// The provider of a provider lock: lowercased, "-" as "_", and the known spellings merged.
std::string normalize_provider(std::string_view lock);

// "anthropic" gives "claude-unknown" and so on; any other provider "unknown".
std::string unknown_model_for_provider(std::string_view provider);

// The provider a model name betrays, or "unknown".
std::string infer_provider(std::string_view model);

// The model, then the model under the provider's prefixes; each name once.
std::vector<std::string> resolve_model(std::string_view model, std::string_view provider);

}  // namespace qm::droid
