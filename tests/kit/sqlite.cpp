#include "kit/sqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace qm::kit {

SqliteFile::SqliteFile(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  EXPECT_EQ(rc, SQLITE_OK) << path;
}

SqliteFile::~SqliteFile() { sqlite3_close(db_); }

SqliteFile& SqliteFile::exec(std::string_view sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (error ? error : "");
  sqlite3_free(error);
  return *this;
}

SqliteFile& SqliteFile::insert(std::string_view table, std::initializer_list<std::string_view> columns,
                               const std::vector<SqlRow>& rows) {
  std::string sql = "INSERT INTO " + std::string(table) + " (";
  std::string marks;
  for (auto c : columns) {
    if (!marks.empty()) sql += ", ", marks += ", ";
    sql += c;
    marks += "?";
  }
  sql += ") VALUES (" + marks + ")";
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db_);
  for (const auto& row : rows) {
    EXPECT_EQ(row.size(), columns.size()) << sql;
    for (std::size_t i = 0; i < row.size(); ++i) {
      int at = static_cast<int>(i) + 1;
      std::visit(
          [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) sqlite3_bind_null(stmt, at);
            else if constexpr (std::is_same_v<T, std::int64_t>) sqlite3_bind_int64(stmt, at, v);
            else if constexpr (std::is_same_v<T, double>) sqlite3_bind_double(stmt, at, v);
            else if constexpr (std::is_same_v<T, std::string>)
              sqlite3_bind_text(stmt, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
            else sqlite3_bind_blob(stmt, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
          },
          row[i]);
    }
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sql << ": " << sqlite3_errmsg(db_);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  sqlite3_finalize(stmt);
  return *this;
}

}  // namespace qm::kit
