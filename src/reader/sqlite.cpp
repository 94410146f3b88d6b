#include "reader/sqlite.h"

#include <fmt/core.h>
#include <sqlite3.h>

#include <system_error>

#include "util.h"

namespace qm::reader {

namespace fs = std::filesystem;

// One buffer per column, made up front: a later column's text must not move an earlier one.
Row::Row(sqlite3_stmt* stmt) : stmt_(stmt), lossy_(stmt ? static_cast<std::size_t>(sqlite3_column_count(stmt)) : 0) {}

bool Row::is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::int64_t Row::int64(int column) const { return sqlite3_column_int64(stmt_, column); }

double Row::real(int column) const { return sqlite3_column_double(stmt_, column); }

std::optional<std::string_view> Row::bytes(int column) const {
  // No pointer for NULL (nor when SQLite is out of memory); an empty text has one.
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  if (!bytes) return std::nullopt;
  return std::string_view(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::optional<std::string_view> Row::text(int column) const {
  const auto raw_bytes = bytes(column);
  if (!raw_bytes) return std::nullopt;
  const std::string_view raw = *raw_bytes;
  if (util::is_valid_utf8(raw)) return raw;
  if (static_cast<std::size_t>(column) >= lossy_.size()) return std::nullopt;
  lossy_[static_cast<std::size_t>(column)] = util::utf8_lossy(raw);
  return lossy_[static_cast<std::size_t>(column)];
}

Statement::Statement(Statement&& o) noexcept : stmt_(o.stmt_), row_(o.stmt_) { o.stmt_ = nullptr; }
Statement& Statement::operator=(Statement&& o) noexcept {
  if (this != &o) {
    sqlite3_finalize(stmt_);
    stmt_ = o.stmt_;
    row_ = Row(stmt_);
    o.stmt_ = nullptr;
  }
  return *this;
}
Statement::~Statement() { sqlite3_finalize(stmt_); }

bool Statement::bind_text(int index, std::string_view value) {
  return sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Statement::bind_int64(int index, std::int64_t value) {
  return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

void Statement::reset() { sqlite3_reset(stmt_); }

Statement::Step Statement::step() {
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW: return Step::Row;
    case SQLITE_DONE: return Step::Done;
    default: return Step::Failed;
  }
}

namespace {

ReadFailure failure_of(sqlite3* db, ReadFailure::Stage stage, int code) {
  std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  // "unable to open database file" says nothing of why.
  const int primary = code & 0xFF;
  if (db && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR) && sqlite3_system_errno(db) != 0)
    reason += ": " + util::os_error(sqlite3_system_errno(db));
  return ReadFailure{stage, primary, std::move(reason)};
}

}  // namespace

ReadFailure Statement::failure() const {
  sqlite3* db = sqlite3_db_handle(stmt_);
  return failure_of(db, ReadFailure::Stage::Step, sqlite3_errcode(db));
}

std::expected<Database, ReadFailure> Database::open(const ReadPlan& plan, bool busy_wait) {
  // SQLite would create a missing file's directory entry only with the create flag; check
  // anyway so that a missing path never reaches it.
  std::error_code ec;
  const auto status = fs::status(plan.path(), ec);
  if (ec) return std::unexpected(ReadFailure{ReadFailure::Stage::Open, 0, ec.message()});
  if (!fs::is_regular_file(status)) return std::unexpected(ReadFailure{ReadFailure::Stage::Open, 0, "not a regular file"});
  // SQLite's memory statistics take one process-wide lock on every allocation, which
  // connections stepping side by side would queue on. Only to be had before SQLite starts.
  static const bool unlocked_allocation = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  (void)unlocked_allocation;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(plan.uri().c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    auto failure = failure_of(db, ReadFailure::Stage::Open, rc);
    sqlite3_close(db);
    return std::unexpected(std::move(failure));
  }
  if (busy_wait) sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return Database(db);
}

Database::Database(Database&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
Database& Database::operator=(Database&& o) noexcept {
  if (this != &o) {
    sqlite3_close(db_);
    db_ = o.db_;
    o.db_ = nullptr;
  }
  return *this;
}
Database::~Database() { sqlite3_close(db_); }

std::expected<Statement, ReadFailure> Database::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return std::unexpected(failure_of(db_, ReadFailure::Stage::Prepare, rc));
  }
  return Statement(stmt);
}

bool Database::exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Database::write_ahead() {
  auto stmt = prepare("PRAGMA journal_mode");
  if (!stmt || stmt->step() != Statement::Step::Row) return true;  // not known: as if it were
  return util::ascii_lower(stmt->row().text(0).value_or("")) == "wal";
}

void Database::scan_only() {
  // A scan visits each page once, and keeps only the pages from the root to its leaf in use:
  // a larger cache only costs the memory it fills.
  exec("PRAGMA cache_size=-256");
}

std::optional<std::int64_t> Database::data_version() {
  auto stmt = prepare("PRAGMA data_version");
  if (!stmt || stmt->step() != Statement::Step::Row || stmt->row().is_null(0)) return std::nullopt;
  return stmt->row().int64(0);
}

std::expected<Query, ReadFailure> open_query(const ReadPlan& plan, std::string_view sql) {
  auto db = Database::open(plan);
  if (!db) return std::unexpected(std::move(db.error()));
  auto stmt = db->prepare(sql);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  db->scan_only();  // once the schema is read: the setting reads it too, and would wait apart
  return Query{std::move(*db), std::move(*stmt)};
}

namespace detail {

std::optional<DatabaseRead> end_after(const fs::path& path, std::string_view label, bool debug,
                                      const ReadFailure& failure, bool last) {
  using Stage = ReadFailure::Stage;
  auto say = [&](std::string_view what) {
    log::debug_print(debug, fmt::format("Failed to {} {} database: {}", what, label, path.string()));
  };
  // Tables of another shape are no failure to read: the file is some other program's.
  if (failure.stage == Stage::Prepare && failure.code == SQLITE_ERROR) {
    say("read");
    return DatabaseRead{DatabaseRead::End::OtherSchema, {}};
  }
  // A database still locked after the busy time-out would only keep the next read waiting.
  if (!last && failure.code != SQLITE_BUSY) return std::nullopt;
  say(failure.stage == Stage::Open ? "open" : failure.stage == Stage::Prepare ? "read" : "query");
  return DatabaseRead{DatabaseRead::End::Unreadable, failure.reason};
}

}  // namespace detail

}  // namespace qm::reader
