#include "pricing/lookup.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "http/hosts.h"
#include "log.h"
#include "no_destructor.h"

namespace qm::pricing {
namespace {

bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the occurrence of `part` at `pos` in `text` stands at a word boundary.
bool boundary_at(std::string_view text, std::string_view part, std::size_t pos) {
  if (pos > 0 && is_alnum(text[pos - 1])) return false;
  std::size_t end = pos + part.size();
  if (end == text.size()) return true;
  char after = text[end];
  if (is_alnum(after)) return false;
  if (part.empty() || !is_digit(part.back()) || (after != '-' && after != '.')) return true;
  // A version number followed by a separator: digits after it continue the version unless
  // they are an eight-digit date.
  std::size_t digits = 0;
  while (end + 1 + digits < text.size() && is_digit(text[end + 1 + digits])) ++digits;
  if (digits == 0) return true;
  std::size_t next = end + 1 + digits;
  return digits == 8 && (next == text.size() || !is_alnum(text[next]));
}

std::optional<std::string> best_key(const PricingTable& table, std::string_view model) {
  const std::string dashed = dots_to_dashes(model);
  const std::string* best = nullptr;
  for (const auto& [key, price] : table.prices) {
    if (best && (key.size() < best->size() || (key.size() == best->size() && key > *best))) continue;
    if (price_key_matches(model, dashed, key)) best = &key;
  }
  if (!best) return std::nullopt;
  return *best;
}

void warn(const std::string& line) {
  if (log::debug_enabled()) std::fputs(line.c_str(), stderr);
}

void note_failure(ModelsDevCache& cache, std::optional<std::chrono::steady_clock::time_point> when) {
  std::lock_guard lock(cache.mutex);
  cache.last_failure = when;
}

// Downloads and parses the catalogue unless a failure lies less than the retry gap back.
const PricingTable* downloaded_models_dev(ModelsDevCache& cache) {
  if (const auto* t = cache.downloaded.load(std::memory_order_acquire)) return t;
  auto recently_failed = [&] {
    std::lock_guard lock(cache.mutex);
    return cache.last_failure && std::chrono::steady_clock::now() - *cache.last_failure < kModelsDevRetryGap;
  };
  if (recently_failed()) return nullptr;
  std::lock_guard one_at_a_time(cache.download);
  if (const auto* t = cache.downloaded.load(std::memory_order_acquire)) return t;
  if (recently_failed()) return nullptr;
  auto url = http::hosts::models_dev_url();
  auto text = url ? http_get_text(*url) : std::unexpected(url.error());
  if (!text) {
    warn("WARN  Failed to fetch models.dev pricing (" + text.error() + "); using LiteLLM pricing.\n");
    note_failure(cache, std::chrono::steady_clock::now());
    return nullptr;
  }
  auto table = std::make_unique<PricingTable>();
  if (!parse_models_dev(*table, *text)) {
    warn("WARN  Failed to parse models.dev pricing; using LiteLLM pricing.\n");
    note_failure(cache, std::chrono::steady_clock::now());
    return nullptr;
  }
  const PricingTable* expected = nullptr;
  if (cache.downloaded.compare_exchange_strong(expected, table.get(), std::memory_order_acq_rel))
    table.release();  // another thread's table, when it came first, stays and ours is dropped
  note_failure(cache, std::nullopt);
  return cache.downloaded.load(std::memory_order_acquire);
}

}  // namespace

ModelsDevCache& process_models_dev_cache() {
  static NoDestructor<ModelsDevCache> cache;
  return cache.get();
}

bool contains_at_boundary(std::string_view text, std::string_view part) {
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t pos = text.find(part, from);
    if (pos == std::string_view::npos) return false;
    if (boundary_at(text, part, pos)) return true;
    from = pos + std::max<std::size_t>(part.size(), 1);
  }
  return false;
}

std::string dots_to_dashes(std::string_view name) {
  std::string out(name);
  std::ranges::replace(out, '.', '-');
  return out;
}

bool price_key_matches(std::string_view model, std::string_view dashed_model, std::string_view key) {
  if (contains_at_boundary(model, key) || contains_at_boundary(key, model)) return true;
  std::string dashed_storage;
  std::string_view dashed_key = key;
  if (key.find('.') != std::string_view::npos) {
    dashed_storage = dots_to_dashes(key);
    dashed_key = dashed_storage;
  }
  return contains_at_boundary(dashed_model, dashed_key) || contains_at_boundary(dashed_key, dashed_model);
}

std::optional<ModelPrice> lookup_price(const PricingTable& table, std::string_view model) {
  if (auto it = table.prices.find(model); it != table.prices.end()) return it->second;
  const std::size_t key_count = table.prices.size();
  std::optional<std::string> winner;
  if (auto memo = table.memo.find(model, key_count)) {
    winner = std::move(*memo);
  } else {
    winner = best_key(table, model);
    table.memo.remember(model, winner, key_count);
  }
  if (!winner) return std::nullopt;
  auto it = table.prices.find(*winner);
  if (it == table.prices.end()) return std::nullopt;
  return it->second;
}

std::optional<ModelPrice> find_price(const PricingTable& table, std::string_view model) {
  if (auto p = lookup_price(table, model)) return p;
  if (model == "gpt-5.3-spark") return lookup_price(table, "gpt-5.3-codex-spark");
  return std::nullopt;
}

std::optional<ModelPrice> price_for_model(const PricingTable& table, std::string_view model, ModelsDevCache& cache) {
  if (auto p = find_price(table, model)) return p;
  if (table.models_dev_download_allowed) {
    if (const auto* downloaded = downloaded_models_dev(cache))
      if (auto p = find_price(*downloaded, model)) return p;
  }
  if (table.embedded_models_dev_allowed) return find_price(embedded_models_dev_table(), model);
  return std::nullopt;
}

std::optional<ModelPrice> price_for_model(const PricingTable& table, std::string_view model) {
  return price_for_model(table, model, process_models_dev_cache());
}

std::optional<double> matches_fast_override(const FastMultiplierOverrides& overrides, std::string_view model) {
  if (auto it = overrides.exact.find(model); it != overrides.exact.end()) return it->second;
  const std::string dashed = dots_to_dashes(model);
  std::string_view rest = dashed;
  for (;;) {
    std::size_t cut = rest.find_first_of("/:");
    std::string_view segment = rest.substr(0, cut);
    for (const auto& [prefix, multiplier] : overrides.normalized_prefix) {
      std::size_t at = segment.rfind(prefix);
      if (at == std::string_view::npos) continue;
      std::string_view tail = segment.substr(at + prefix.size());
      if (tail.empty() || tail.front() == '-') return multiplier;
    }
    if (cut == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(cut + 1);
  }
}

}  // namespace qm::pricing
