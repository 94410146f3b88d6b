// Goose's sessions databases (the first byte chooses): rows of a sessions table written into
// a fresh database read the same twice, and the same again with every row written twice (a
// session counts once); any bytes as the database file are read without writing to it or
// beside it.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "adapter/goose/reader.h"
#include "database.h"
#include "pricing/table.h"
#include "support.h"

namespace {

constexpr std::string_view kSchema =
    "CREATE TABLE sessions (id TEXT, model_config_json TEXT, provider_name TEXT, created_at TEXT, "
    "total_tokens INTEGER, input_tokens INTEGER, output_tokens INTEGER, accumulated_total_tokens INTEGER, "
    "accumulated_input_tokens INTEGER, accumulated_output_tokens INTEGER)";
constexpr std::string_view kInsert = "INSERT INTO sessions VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";

// The database the reader finds through GOOSE_PATH_ROOT.
const std::filesystem::path& sessions_db() {
  static const auto path = [] {
    const auto root = fuzzing::scratch_directory() / "goose";
    std::filesystem::create_directories(root / "data/sessions");
    ::setenv("GOOSE_PATH_ROOT", root.c_str(), 1);
    return root / "data/sessions/sessions.db";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const auto table = qm::pricing::load_price_table(true, false, {});
  static const auto options = [] {
    qm::CommonOptions o;
    o.timezone = "UTC";
    o.single_thread = true;
    return qm::all::loader::make_load_options(o);
  }();
  const auto& db = sessions_db();
  if (data[0] % 2) {
    fuzzing::raw_database(db, text);
    (void)qm::goose::parser::load_goose_usage(options, table);
    std::ifstream in(db, std::ios::binary);
    FUZZ_CHECK(std::string(std::istreambuf_iterator<char>(in), {}) == text);
    FUZZ_CHECK(std::distance(std::filesystem::directory_iterator(db.parent_path()), {}) == 1);
    return 0;
  }
  auto rows = fuzzing::rows_of(text, 10);
  fuzzing::fresh_database(db, kSchema, kInsert, rows);
  const auto usage = qm::goose::parser::load_goose_usage(options, table);
  FUZZ_CHECK(usage.has_value());
  FUZZ_CHECK(qm::goose::parser::load_goose_usage(options, table)->rows == usage->rows);
  const std::size_t count = rows.size();
  for (std::size_t i = 0; i < count; ++i) rows.push_back(rows[i]);
  fuzzing::fresh_database(db, kSchema, kInsert, rows);
  FUZZ_CHECK(qm::goose::parser::load_goose_usage(options, table)->rows == usage->rows);
  return 0;
}
