#include "adapter/droid/model.h"

#include <algorithm>

#include "reader/prices.h"
#include "reader/values.h"
#include "util.h"

namespace qm::droid {

std::optional<std::string_view> get_trimmed_string(json::element object, std::string_view key) {
  return reader::text(reader::at(object, key));
}

std::string normalize_model_name(std::string_view text) {
  if (text.starts_with("custom:")) text.remove_prefix(7);
  std::string unbracketed;
  int depth = 0;
  for (char c : text) {
    if (c == '[')
      ++depth;
    else if (c == ']')
      depth = std::max(0, depth - 1);
    else if (depth == 0)
      unbracketed += c;
  }
  const std::string lower = util::lowercase(util::trim(unbracketed));
  std::string out;
  bool separator = false;
  for (std::size_t i = 0; i < lower.size();) {
    std::size_t n = lower[i] == '.' || lower[i] == '-' ? 1 : util::space_at_front(std::string_view(lower).substr(i));
    if (n > 0) {
      separator = true;
      i += n;
      continue;
    }
    if (separator && !out.empty()) out += '-';  // leading and trailing runs are dropped
    separator = false;
    out += lower[i++];
  }
  return out;
}

std::string normalize_provider(std::string_view lock) {
  std::string p = util::lowercase(lock);
  std::replace(p.begin(), p.end(), '-', '_');
  if (p.empty()) return "unknown";
  if (p == "claude" || p == "anthropic") return "anthropic";
  if (p == "openai") return "openai";
  if (p == "google" || p == "google_ai" || p == "gemini" || p == "vertex" || p == "vertex_ai") return "google";
  if (p == "xai" || p == "x_ai" || p == "grok") return "xai";
  return p;
}

std::string unknown_model_for_provider(std::string_view provider) {
  if (provider == "anthropic") return "claude-unknown";
  if (provider == "openai") return "gpt-unknown";
  if (provider == "google") return "gemini-unknown";
  if (provider == "xai") return "grok-unknown";
  return "unknown";
}

std::string infer_provider(std::string_view model) {
  auto has = [&](std::string_view part) { return model.find(part) != std::string_view::npos; };
  if (has("claude") || has("opus") || has("sonnet") || has("haiku")) return "anthropic";
  if (model.starts_with("gpt-") || has("-gpt-") || has("chatgpt")) return "openai";
  if (model.size() >= 2 && model[0] == 'o' && model[1] >= '0' && model[1] <= '9') return "openai";
  if (has("gemini")) return "google";
  if (has("grok")) return "xai";
  return "unknown";
}

std::vector<std::string> resolve_model(std::string_view model, std::string_view provider) {
  std::vector<std::string> names{std::string(model)};
  auto under = [&](std::string_view prefix) { reader::add_candidate(names, std::string(prefix) + std::string(model)); };
  if (provider == "anthropic") {
    under("anthropic/");
    under("openrouter/anthropic/");
  } else if (provider == "openai") {
    under("openai/");
    under("openrouter/openai/");
  } else if (provider == "google") {
    under("google/");
    under("vertex_ai/");
    under("openrouter/google/");
  } else if (provider == "xai") {
    under("xai/");
    under("openrouter/x-ai/");
  } else if (provider != "unknown") {
    under(std::string(provider) + "/");
    under("openrouter/" + std::string(provider) + "/");
  }
  return names;
}

}  // namespace qm::droid
