// The data column of OpenCode's and Kilo's message tables (the first byte chooses the
// reader and the cost mode): read without fault, the same twice; the quick test for tokens
// never passes over a message that has them; what a message gives is whole and its money
// is neither negative nor infinite.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/kilo/messages.h"
#include "adapter/opencode/report.h"
#include "support.h"

namespace {

bool same(const qm::opencode::report::Message& a, const qm::opencode::report::Message& b) {
  return a.model == b.model && a.provider == b.provider && a.time_ms == b.time_ms && a.id == b.id &&
         a.recorded_cost == b.recorded_cost && a.tokens.block.input == b.tokens.block.input &&
         a.tokens.block.output == b.tokens.block.output && a.tokens.extra == b.tokens.extra;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static qm::json::StrictParser parser;
  static const qm::pricing::PricingTable table = [] {
    qm::pricing::PricingTable t;
    t.prices["claude-x"].input = 1e-6;
    return t;
  }();
  // The reader hands over the column followed by the parser's padding.
  std::string padded(reinterpret_cast<const char*>(data) + 1, size - 1);
  padded.append(qm::json::kPadding, '\0');
  const std::string_view text(padded.data(), size - 1);
  const auto doc = parser.parse(text);
  if (!doc) return 0;
  if (qm::reader::at(*doc, "tokens")) FUZZ_CHECK(qm::opencode::message::may_hold_tokens(text));

  if (data[0] % 2 == 0) {
    const auto m = qm::opencode::report::parse_message(*doc, std::nullopt);
    const auto again = qm::opencode::report::parse_message(*doc, std::nullopt);
    FUZZ_CHECK(m.has_value() == again.has_value());
    if (!m) return 0;
    FUZZ_CHECK(same(*m, *again));
    FUZZ_CHECK(m->tokens.any() && m->time_ms > 0 && !m->model.empty() && !m->provider.empty());
    FUZZ_CHECK(!m->recorded_cost || (std::isfinite(*m->recorded_cost) && *m->recorded_cost >= 0));
    return 0;
  }
  static const qm::CostMode kModes[] = {qm::CostMode::Auto, qm::CostMode::Calculate, qm::CostMode::Display};
  qm::opencode::message::RecentPrices prices(&table);
  std::string key;
  qm::reader::KeptTexts kept;
  const auto c = qm::kilo::count_message("/k/kilo.db", "row", *doc, kModes[data[0] / 2 % 3], prices, key, kept);
  if (!c) return 0;
  FUZZ_CHECK(c->any_tokens() && c->time_ms > 0 && c->has_key && !kept.name(c->model).empty());
  FUZZ_CHECK(std::isfinite(c->cost) && c->cost >= 0);
  return 0;
}
