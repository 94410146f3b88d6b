// Goose (the first byte chooses):
//  - rows of a sessions table written into a fresh database: they read the same twice, each
//    session once, each record with the id and time of one of its rows;
//  - a created_at text: its instant reads back from its canonical text;
//  - any bytes as the database file: read without writing to it or beside it.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "adapter/goose/parser.h"
#include "database.h"
#include "date_utils.h"
#include "pricing/table.h"
#include "support.h"
#include "util.h"

namespace {

namespace goose = qm::goose::parser;

constexpr std::string_view kSchema =
    "CREATE TABLE sessions (id TEXT, model_config_json TEXT, provider_name TEXT, created_at TEXT, "
    "total_tokens INTEGER, input_tokens INTEGER, output_tokens INTEGER, accumulated_total_tokens INTEGER, "
    "accumulated_input_tokens INTEGER, accumulated_output_tokens INTEGER)";
constexpr std::string_view kInsert = "INSERT INTO sessions VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";

std::vector<std::string> describe(const std::vector<qm::UsageRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.push_back(fmt::format("{}|{}|{}|{}|{:a}|{}|{} {} {}", r.session_id, r.model.value_or("-"), r.timestamp_ms,
                              r.date_key, r.cost, r.unpriced.value_or("-"), r.tokens.input, r.tokens.output,
                              r.reasoning));
  return out;
}

// One of the rows with the record's id has its time.
bool from_a_row(const qm::UsageRecord& r, const fuzzing::Rows& rows) {
  for (const auto& row : rows) {
    const auto id = fuzzing::text_of(row[0]);
    const auto created = fuzzing::text_of(row[3]);
    if (id == r.session_id && created && goose::created_at_ms(qm::util::trim(*created)) == r.timestamp_ms) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 3 == 1) {
    const auto ms = goose::created_at_ms(text);
    if (!ms) return 0;
    const std::string canonical = qm::date_utils::format_timestamp_ms(*ms);
    if (qm::date_utils::parse_timestamp_ms(canonical)) FUZZ_CHECK(goose::created_at_ms(canonical) == ms);
    return 0;
  }
  static const auto table = qm::pricing::load_price_table(true, false, {});
  static const auto options = [] {
    qm::CommonOptions o;
    o.timezone = "UTC";
    return qm::all::loader::make_load_options(o);
  }();
  static qm::json::StrictParser parser;
  qm::reader::Prices prices(&table);
  if (data[0] % 3 == 2) {
    // Whatever the file holds, it is read as it is: nothing written to it or beside it.
    const auto& db = fuzzing::raw_database(text);
    (void)goose::read_sessions(db, parser, prices, options);
    std::ifstream in(db, std::ios::binary);
    FUZZ_CHECK(std::string(std::istreambuf_iterator<char>(in), {}) == text);
    FUZZ_CHECK(std::distance(std::filesystem::directory_iterator(db.parent_path()), {}) == 1);
    return 0;
  }
  const auto rows = fuzzing::rows_of(text, 10);
  const auto& db = fuzzing::fresh_database(kSchema, kInsert, rows);
  const auto records = goose::read_sessions(db, parser, prices, options);
  const auto described = describe(records);
  qm::reader::Prices fresh(&table);
  FUZZ_CHECK(describe(goose::read_sessions(db, parser, fresh, options)) == described);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    FUZZ_CHECK(r.model && !r.model->empty() && (r.tokens.input || r.tokens.output || r.reasoning));
    FUZZ_CHECK(from_a_row(r, rows));
    for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(records[j].session_id != r.session_id);
  }
  return 0;
}
