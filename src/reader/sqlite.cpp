#include "reader/sqlite.h"

#include <sqlite3.h>

#include <fstream>
#include <system_error>

#include "util.h"

namespace qm::reader {

namespace fs = std::filesystem;

namespace {

// Byte 19 of the header (the read format version) is 2 in write-ahead mode. It alone makes
// SQLite read through the log; byte 18 (the write version) may say anything.
bool header_says_wal(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char header[20];
  if (!in.read(header, sizeof header)) return false;
  return header[19] == 2;
}

void append_uri_path(std::string& uri, const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c == 0x7F) {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xF];
    } else {
      uri += static_cast<char>(c);
    }
  }
}

}  // namespace

std::string read_only_uri(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  std::string uri = "file://";  // an empty authority: the path follows
  // Not normalised as text: "link/.." leads where the link's target leads, which SQLite finds.
  append_uri_path(uri, absolute.string());
  uri += "?mode=ro";
  fs::path wal = path;
  wal += "-wal";
  if (!fs::exists(wal, ec) && header_says_wal(path)) uri += "&immutable=1";
  return uri;
}

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

std::optional<Database> Database::open_read_only(const fs::path& path, bool busy_wait) {
  // SQLite would create a missing file's directory entry only with the create flag; check
  // anyway so that a missing path never reaches it.
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(read_only_uri(path).c_str(), &db,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return std::nullopt;
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

std::optional<Statement> Database::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return std::nullopt;
  }
  return Statement(stmt);
}

bool Database::exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

namespace {
void say_failed(std::string_view what, const fs::path& path, std::string_view label, bool debug) {
  log::debug_print(debug, fmt::format("Failed to {} {} database: {}", what, label, path.string()));
}
}  // namespace

std::optional<Query> open_query(const fs::path& path, std::string_view label, std::string_view sql, bool debug) {
  auto db = Database::open_read_only(path);
  if (!db) return say_failed("open", path, label, debug), std::nullopt;
  auto stmt = db->prepare(sql);
  if (!stmt) return say_failed("read", path, label, debug), std::nullopt;
  return Query{std::move(*db), std::move(*stmt)};
}

void say_query_failed(const fs::path& path, std::string_view label, bool debug) { say_failed("query", path, label, debug); }

}  // namespace qm::reader
