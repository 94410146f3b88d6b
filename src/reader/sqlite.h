#pragma once
// Read-only access to the agents' SQLite databases. A database is never created or written:
//  - a database with a write-ahead log beside it is opened read-only with normal locking, so
//    the log's committed pages are read (SQLite needs the log's shared-memory index for that);
//  - a database in write-ahead mode whose log is gone (its agent closed it) is opened as
//    immutable: an ordinary read-only open would leave new -wal and -shm files beside it;
//  - any other database is opened read-only with normal locking.
// A short busy time-out lets a read wait while the agent commits instead of giving up.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "log.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qm::reader {

inline constexpr int kBusyTimeoutMs = 3000;

// One row of a running query; its views stay valid until the next step.
class Row {
 public:
  explicit Row(sqlite3_stmt* stmt);
  bool is_null(int column) const;
  // SQLite's conversions: NULL is 0, a real number is cut to an integer, a text is read as
  // a number where it can be.
  std::int64_t int64(int column) const;
  double real(int column) const;
  // The column as text (a number as its decimal text), invalid UTF-8 sequences replaced by
  // U+FFFD; none for NULL.
  std::optional<std::string_view> text(int column) const;
  // The column's bytes as SQLite gives them, not checked for UTF-8; none for NULL.
  std::optional<std::string_view> bytes(int column) const;

 private:
  sqlite3_stmt* stmt_;
  mutable std::vector<std::string> lossy_;  // per column, used only for text that is not UTF-8
};

class Statement {
 public:
  Statement(Statement&&) noexcept;
  Statement& operator=(Statement&&) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  bool bind_text(int index, std::string_view value);
  bool bind_int64(int index, std::int64_t value);
  enum class Step { Row, Done, Failed };
  Step step();
  // Ready to step again from the first row, with new bindings.
  void reset();
  const Row& row() const { return row_; }

 private:
  friend class Database;
  explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt), row_(stmt) {}
  sqlite3_stmt* stmt_;
  Row row_;
};

class Database {
 public:
  // None when the file cannot be opened as a database.
  static std::optional<Database> open_read_only(const std::filesystem::path& path, bool busy_wait = true);
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  std::optional<Statement> prepare(std::string_view sql);
  // Runs statements that give no rows ("BEGIN", say).
  bool exec(const std::string& sql);

 private:
  explicit Database(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

// The URI that opens the database as described above.
std::string read_only_uri(const std::filesystem::path& path);

// A database and its query, ready to step.
struct Query {
  Database db;
  Statement stmt;
};
// Opens the database and prepares the query; none after the debug line "Failed to open
// {label} database: {path}" or "Failed to read ..." (the query cannot be prepared).
std::optional<Query> open_query(const std::filesystem::path& path, std::string_view label, std::string_view sql,
                                bool debug);
// The debug line of a step that failed: "Failed to query {label} database: {path}".
void say_query_failed(const std::filesystem::path& path, std::string_view label, bool debug);

// Runs one query over a database and calls on_row(const Row&) for every row. Failures are
// only the debug lines of open_query and say_query_failed (a step failed: the rows handed
// out before it stand). False when the database could not be opened or the query prepared.
template <typename OnRow>
bool for_each_row(const std::filesystem::path& path, std::string_view label, std::string_view sql, bool debug,
                  OnRow&& on_row) {
  auto query = open_query(path, label, sql, debug);
  if (!query) return false;
  for (;;) {
    switch (query->stmt.step()) {
      case Statement::Step::Row: on_row(query->stmt.row()); break;
      case Statement::Step::Done: return true;
      case Statement::Step::Failed: say_query_failed(path, label, debug); return true;
    }
  }
}

}  // namespace qm::reader
