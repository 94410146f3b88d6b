#pragma once
// SQLite databases for tests: created with the tables and rows a test needs, and held open
// as the agent that owns them would hold them.
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;

namespace qm::kit {

struct SqlBlob {
  std::string bytes;
};
using SqlValue = std::variant<std::nullptr_t, std::int64_t, double, std::string, SqlBlob>;
using SqlRow = std::vector<SqlValue>;

// A read-write connection; the file is created when missing. Every failure fails the test.
class SqliteFile {
 public:
  explicit SqliteFile(const std::filesystem::path& path);
  ~SqliteFile();
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  // Runs statements (several may be separated by ";").
  SqliteFile& exec(std::string_view sql);
  // Inserts rows with bound values, so that texts that are not UTF-8 and blobs go in as they are.
  SqliteFile& insert(std::string_view table, std::initializer_list<std::string_view> columns,
                     const std::vector<SqlRow>& rows);
  // Write-ahead mode: the log and its index stay beside the file while this connection lives.
  SqliteFile& wal() { return exec("PRAGMA journal_mode=WAL"); }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace qm::kit
