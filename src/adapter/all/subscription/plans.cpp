// Subscription plans from the plan options or from what the services report.
#include <cctype>
#include <cmath>

#include "adapter/all/subscription.h"
#include "util.h"

namespace qm::all::subscription {
namespace {

SubscriptionPlan known(const char* label, double price) { return {std::string(label), price}; }

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::optional<SubscriptionPlan> claude_plan_word(std::string_view option) {
  std::string w = plan_word(option);
  if (w == "pro") return known("Pro", 20);
  if (w == "max" || w == "max5x" || w == "max5") return known("Max 5×", 100);
  if (w == "max20x" || w == "max20") return known("Max 20×", 200);
  return std::nullopt;
}

std::optional<SubscriptionPlan> claude_tier_plan(std::string_view tier) {
  std::string t = util::ascii_lower(tier);
  if (contains(t, "20x")) return known("Max 20×", 200);
  if (contains(t, "5x")) return known("Max 5×", 100);
  if (contains(t, "max")) return known("Max", 100);
  if (contains(t, "pro")) return known("Pro", 20);
  return std::nullopt;
}

}  // namespace

std::string plan_word(std::string_view text) {
  std::string w;
  for (unsigned char c : text)
    if (c < 0x80 && std::isalnum(c)) w += static_cast<char>(std::tolower(c));
  return w;
}

std::optional<SubscriptionPlan> parse_price(std::string_view text) {
  std::string_view rest = util::trim(text);
  while (rest.starts_with('$')) rest.remove_prefix(1);
  auto price = util::parse_f64_decimal(rest);
  // An infinite price would make every value ratio 0.
  if (!price || !std::isfinite(*price) || !(*price > 0)) return std::nullopt;
  return SubscriptionPlan{std::nullopt, *price};
}

SubscriptionPlan resolve_claude_plan(const std::optional<std::string>& tier, const std::optional<std::string>& option) {
  if (option) {
    if (auto plan = parse_price(*option)) return *plan;
    if (auto plan = claude_plan_word(*option)) return *plan;
  }
  if (tier)
    if (auto plan = claude_tier_plan(*tier)) return *plan;
  return {};
}

std::optional<SubscriptionPlan> codex_plan_from_type(std::string_view text) {
  std::string w = plan_word(text);
  if (w == "plus") return known("Plus", 20);
  if (w == "pro") return known("Pro", 200);
  return std::nullopt;
}

SubscriptionPlan resolve_codex_plan(std::string_view detected, const std::optional<std::string>& option) {
  // No plan type at all reads as the service's own word for it, never as an empty label.
  std::string detected_label = util::capitalize_first(std::string(detected.empty() ? "unknown" : detected));
  std::optional<SubscriptionPlan> plan;
  if (option) {
    plan = parse_price(*option);
    if (!plan) plan = codex_plan_from_type(*option);
  }
  if (!plan) plan = codex_plan_from_type(detected);
  if (!plan) return {detected_label, std::nullopt};
  if (!plan->label) plan->label = detected_label;
  return *plan;
}

}  // namespace qm::all::subscription

namespace qm::all::summary {

std::optional<subscription::SubscriptionPlan> parse_cursor_plan(const std::optional<std::string>& text) {
  using subscription::SubscriptionPlan;
  if (!text) return std::nullopt;
  if (auto plan = subscription::parse_price(*text)) return plan;
  std::string t = util::ascii_lower(*text);
  auto has = [&](std::string_view part) { return t.find(part) != std::string::npos; };
  if (has("ultra")) return SubscriptionPlan{"Ultra", 200};
  if (has("plus") || has("pro+")) return SubscriptionPlan{"Pro+", 60};
  if (has("pro")) return SubscriptionPlan{"Pro", 20};
  return std::nullopt;
}

}  // namespace qm::all::summary
