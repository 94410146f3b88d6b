// The data column of OpenCode's and Kilo's message tables (the first byte chooses the
// reader and the cost mode): read without fault, the same twice; the quick test for tokens
// never passes over a message that has them; the one pass over a message's members finds
// what a lookup of each key finds, and reads them as values.h does; what a message gives is
// whole and its money is neither negative nor infinite.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter/kilo/reader.h"
#include "adapter/opencode/message_rows.h"
#include "adapter/opencode/reader.h"
#include "json/strict.h"
#include "reader/values.h"
#include "support.h"

namespace {

bool same(const qm::reader::MaybeElement& a, const qm::reader::MaybeElement& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || simdjson::minify(*a) == simdjson::minify(*b);
}

void check_members(qm::json::element doc) {
  namespace message = qm::opencode::message;
  static constexpr std::array<std::string_view, 7> kKeys{"role", "tokens", "modelID", "providerID", "time", "id", "cost"};
  const auto want = qm::reader::members(doc, kKeys);
  const message::Members got = message::members_of(doc);
  const qm::reader::MaybeElement in_order[] = {got.role, got.tokens, got.model_id, got.provider_id,
                                               got.time, got.id,     got.cost};
  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    FUZZ_CHECK(same(in_order[k], want[k]));
    FUZZ_CHECK(message::string(in_order[k]) == qm::reader::string(want[k]));
    FUZZ_CHECK(message::text(in_order[k]) == qm::reader::text(want[k]));
    const auto amount = message::amount(in_order[k]), reference = qm::reader::amount(want[k]);
    FUZZ_CHECK(amount == reference && (!amount || std::signbit(*amount) == std::signbit(*reference)));
    FUZZ_CHECK(message::created(in_order[k]) == qm::reader::integer(qm::reader::at(want[k], "created")));
  }
}

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
  check_members(*doc);

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
  static const qm::kilo::RowKeys keys("/k/kilo.db");
  qm::reader::KeptTexts kept;
  const auto c = qm::kilo::count_message(keys, "row", *doc, kModes[data[0] / 2 % 3], prices, kept);
  if (!c) return 0;
  FUZZ_CHECK(c->any_tokens() && c->time_ms > 0 && c->has_key && !kept.name(c->model).empty());
  FUZZ_CHECK(std::isfinite(c->cost) && c->cost >= 0);
  return 0;
}
