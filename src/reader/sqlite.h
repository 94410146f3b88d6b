#pragma once
// Read-only access to the agents' SQLite databases. A database is never created or written,
// and every read of one gives one state of it, or is done again (read_database):
//  - a database with a write-ahead log beside it is opened read-only with normal locking, so
//    the log's committed pages are read (SQLite needs the log's shared-memory index for that);
//  - a database in write-ahead mode whose log is gone is opened as immutable, and read again
//    with normal locking when it changed under the read (read_plan.h);
//  - any other database is opened read-only with normal locking.
// A short busy time-out lets a read wait while the agent commits instead of giving up.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "adapter/all/types.h"
#include "log.h"
#include "reader/read_plan.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qm::reader {

// Why a read of a database stopped: where, SQLite's result code (0 when SQLite was not
// asked) and the reason for the unread-files warning.
struct ReadFailure {
  enum class Stage : std::uint8_t { Open, Prepare, Step, Changed };
  Stage stage = Stage::Open;
  int code = 0;
  std::string reason;
};
// One attempt at reading a database.
using Attempt = std::expected<void, ReadFailure>;

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
  // Why the last step failed; ask before the connection is used again.
  ReadFailure failure() const;
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
  static std::expected<Database, ReadFailure> open(const ReadPlan& plan, bool busy_wait = true);
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  std::expected<Statement, ReadFailure> prepare(std::string_view sql);
  // Runs statements that give no rows ("BEGIN", say).
  bool exec(const std::string& sql);
  // Settings for a connection that only scans tables: a small page cache.
  void scan_only();
  // Whether SQLite reads this database through a write-ahead log.
  bool write_ahead();
  // A number that changes whenever another connection commits: two equal values of one
  // connection, each read outside a transaction, say no commit came between them.
  std::optional<std::int64_t> data_version();

 private:
  explicit Database(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

// A database and its query, ready to step, the connection set to scan.
struct Query {
  Database db;
  Statement stmt;
};
std::expected<Query, ReadFailure> open_query(const ReadPlan& plan, std::string_view sql);

// What became of one database.
struct DatabaseRead {
  enum class End : std::uint8_t {
    Read,
    OtherSchema,  // the query could not be prepared: not the agent's tables
    Unreadable,   // could not be opened, or read to its end in two attempts
  };
  End end = End::Read;
  std::string reason;  // of an unreadable one

  // Hands an unreadable database on for the framework's warning.
  void add_to(UnreadFiles& unread, const std::filesystem::path& path) const {
    if (end == End::Unreadable) unread.add(path.string(), reason);
  }
};

namespace detail {
// The end of a read whose attempt failed, after the debug line "Failed to open {label}
// database: {path}", "Failed to read ..." (the query cannot be prepared) or "Failed to query
// ..." (a step failed); none when the read is to be done again. `last`: no attempt is left.
std::optional<DatabaseRead> end_after(const std::filesystem::path& path, std::string_view label, bool debug,
                                      const ReadFailure& failure, bool last);
}  // namespace detail

// Reads a database as one state of it: attempt(const ReadPlan&) -> Attempt does the whole read
// on connections of its own, handing out what it reads as it goes. When the file changed
// under an immutable read, discard() drops all it handed out and the read is done again with
// normal locking. When an attempt fails, the same, but the file is opened as before (an
// unchanged file fails the same way whatever the open, and an ordinary open would leave
// files beside it); a second failure makes the database unreadable. It is not done again
// when the query cannot be prepared (another schema) or the database stayed locked past the
// busy time-out.
template <typename AttemptFn, typename Discard>
DatabaseRead read_database(const std::filesystem::path& path, std::string_view label, bool debug, AttemptFn&& attempt,
                           Discard&& discard) {
  bool may_be_immutable = true;
  for (int failures = 0;;) {
    Attempt done;
    {
      const ReadPlan plan = ReadPlan::make(path, may_be_immutable);
      done = attempt(plan);
      if (!plan.unchanged()) done = std::unexpected(ReadFailure{ReadFailure::Stage::Changed, 0, "changed while read"});
      if (done) return {};
    }  // the plan lets go of the file before the next one looks at it
    discard();
    const bool changed = done.error().stage == ReadFailure::Stage::Changed;
    if (changed)
      may_be_immutable = false;  // only SQLite's locks keep a file that is being written in one state
    else
      ++failures;
    if (auto end = detail::end_after(path, label, debug, done.error(), failures == 2)) return *end;
  }
}

// Runs one query over a database and calls on_row(const Row&) for every row, as
// read_database says: discard() drops what on_row took when the rows are read again.
template <typename OnRow, typename Discard>
DatabaseRead for_each_row(const std::filesystem::path& path, std::string_view label, std::string_view sql, bool debug,
                          OnRow&& on_row, Discard&& discard) {
  return read_database(
      path, label, debug,
      [&](const ReadPlan& plan) -> Attempt {
        auto query = open_query(plan, sql);
        if (!query) return std::unexpected(std::move(query.error()));
        for (;;) {
          switch (query->stmt.step()) {
            case Statement::Step::Row: on_row(query->stmt.row()); break;
            case Statement::Step::Done: return {};
            case Statement::Step::Failed: return std::unexpected(query->stmt.failure());
          }
        }
      },
      discard);
}

}  // namespace qm::reader
