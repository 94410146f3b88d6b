// The Cursor reader's own parsing (the first byte chooses):
//  - an "aggregations" array: its rows taken all at once are those taken one at a time;
//  - a compact date: an accepted one has its digits when written out again;
//  - a model name: each price name shorter than the one before, and part of the name;
//  - rows of the state database's ItemTable: a value comes back trimmed, decoded when it is
//    a JSON string (as nlohmann::json decodes it).
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "adapter/cursor/account.h"
#include "adapter/cursor/aggregation_row.h"
#include "adapter/cursor/reader.h"
#include "database.h"
#include "date_utils.h"
#include "reader/values.h"
#include "support.h"
#include "util.h"

namespace {

namespace loader = qm::cursor::loader;

std::string describe(const loader::CursorUsageEvent& e) {
  return fmt::format("{}|{}|{}|{}|{:a}|{} {} {} {}", e.label, e.model, e.day_start_ms, e.has_recorded_cost,
                     e.recorded_cost, e.tokens.input, e.tokens.output, e.tokens.cache_creation, e.tokens.cache_read);
}

void aggregations(std::string_view text) {
  static qm::json::StrictParser parser;
  const auto doc = parser.parse_copy(R"({"aggregations":)" + std::string(text) + "}");
  const auto list = qm::reader::at(doc, "aggregations");
  simdjson::dom::array rows;
  if (!list || list->get_array().get(rows)) return;
  std::vector<std::string> all_at_once, one_at_a_time;
  auto it = rows.begin();
  while (auto e = loader::next_aggregation_row(it, rows.end(), "2025-06-01", 1748736000000)) {
    FUZZ_CHECK(!e->model.empty() && (e->tokens.input || e->tokens.output || e->tokens.cache_creation || e->tokens.cache_read));
    FUZZ_CHECK(!e->has_recorded_cost || e->recorded_cost > 0);
    all_at_once.push_back(describe(*e));
  }
  for (auto row = rows.begin(); row != rows.end(); ++row) {
    auto next = row;
    ++next;
    auto one = row;
    if (auto e = loader::next_aggregation_row(one, next, "2025-06-01", 1748736000000)) {
      FUZZ_CHECK(one == next);
      one_at_a_time.push_back(describe(*e));
    }
  }
  FUZZ_CHECK(one_at_a_time == all_at_once);
}

// The digits of a compact date; a part's leading "+" stands where a 0 would.
std::string digits_of(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '-') out += c == '+' ? '0' : c;
  return out;
}

void state_value(std::string_view text) {
  constexpr std::string_view kDefaultKey = "cursorAuth/accessToken";
  const auto rows = fuzzing::rows_of(text, 2);
  static const auto db = fuzzing::scratch_directory() / "state.vscdb";
  fuzzing::fresh_database(db, "CREATE TABLE ItemTable (key TEXT UNIQUE, value BLOB)",
                          "INSERT INTO ItemTable VALUES (?1, ?2)", rows);
  using Kind = fuzzing::Field::Kind;
  const std::string key = !rows.empty() && rows[0][0].kind == Kind::Text ? rows[0][0].bytes : std::string(kDefaultKey);
  const auto value = qm::cursor::account::read_state_value(db, key);

  std::optional<std::string> expected;
  for (const auto& row : rows) {
    if (row[0].kind != Kind::Text || row[0].bytes != key) continue;
    const std::string stored = fuzzing::text_of(row[1]).value_or("");
    const std::string_view trimmed = qm::util::trim(stored);
    if (trimmed.empty()) break;
    if (!trimmed.starts_with('"')) {
      expected = std::string(trimmed);
      break;
    }
    // nlohmann::json reads a raw NUL as the end of the text.
    if (trimmed.find('\0') != std::string_view::npos) return;
    const auto decoded = nlohmann::json::parse(trimmed, nullptr, false);
    if (decoded.is_string()) {
      const std::string_view inner = qm::util::trim(decoded.get_ref<const std::string&>());
      if (!inner.empty()) expected = std::string(inner);
    }
    break;
  }
  FUZZ_CHECK(value == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: aggregations(text); break;
    case 1:
      if (auto date = loader::parse_compact_date(std::string(text)))
        FUZZ_CHECK(digits_of(qm::date_utils::format_ymd(*date)) == digits_of(text));
      break;
    case 2: {
      const auto names = loader::price_candidates(text);
      FUZZ_CHECK(!names.empty() && names[0] == text);
      for (std::size_t i = 1; i < names.size(); ++i)
        FUZZ_CHECK(!names[i].empty() && names[i].size() < names[i - 1].size() && text.find(names[i]) != std::string_view::npos);
      break;
    }
    default: state_value(text);
  }
  return 0;
}
