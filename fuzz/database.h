#pragma once
// SQLite databases made from the fuzz input, for the readers of agents' databases: rows cut
// from it written into a fresh database, or its bytes taken as the file. Rows are lines and
// fields are cut at tabs; a field beginning with \x01 is NULL, one beginning with \x02 is a
// blob of the bytes after it, any other is text (the column's declared type converts it as
// SQLite does). Missing fields are NULL.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"
#include "util.h"

namespace fuzzing {

struct Field {
  enum class Kind { Null, Text, Blob } kind = Kind::Null;
  std::string bytes;
};
using Rows = std::vector<std::vector<Field>>;

inline Rows rows_of(std::string_view input, std::size_t columns) {
  Rows rows;
  for (std::size_t start = 0; start < input.size();) {
    std::size_t end = std::min(input.find('\n', start), input.size());
    std::string_view line = input.substr(start, end - start);
    start = end + 1;
    std::vector<Field> row(columns);
    for (std::size_t column = 0; column < columns; ++column) {
      const std::size_t tab = line.find('\t');
      std::string_view field = line.substr(0, tab);
      if (field.starts_with('\x01')) row[column] = {Field::Kind::Null, {}};
      else if (field.starts_with('\x02')) row[column] = {Field::Kind::Blob, std::string(field.substr(1))};
      else row[column] = {Field::Kind::Text, std::string(field)};
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// A directory of the process's own, removed when it exits.
inline const std::filesystem::path& scratch_directory() {
  static const struct Directory {
    std::filesystem::path path;
    Directory() {
      std::string pattern = (std::filesystem::temp_directory_path() / "quillimare-fuzz-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) std::abort();
      path = pattern;
    }
    ~Directory() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } directory;
  return directory.path;
}

// The file at `path` made afresh as a database of one table with these rows (`insert` has
// one parameter per column).
inline void fresh_database(const std::filesystem::path& path, std::string_view schema, std::string_view insert,
                           const Rows& rows) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) std::abort();
  const std::string setup = "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN; " + std::string(schema);
  if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, insert.data(), static_cast<int>(insert.size()), &stmt, nullptr) != SQLITE_OK) std::abort();
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      const auto& [kind, bytes] = row[i];
      const int size = static_cast<int>(bytes.size());
      if (kind == Field::Kind::Text) sqlite3_bind_text(stmt, index, bytes.data(), size, SQLITE_TRANSIENT);
      else if (kind == Field::Kind::Blob) sqlite3_bind_blob(stmt, index, bytes.data(), size, SQLITE_TRANSIENT);
      else sqlite3_bind_null(stmt, index);
    }
    sqlite3_step(stmt);  // a row the table refuses (a repeated unique key) is left out
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK || sqlite3_close(db) != SQLITE_OK) std::abort();
}

// The file at `path` holding exactly these bytes, database or not.
inline void raw_database(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The text a reader gets from a field of a TEXT column: none for NULL, else the bytes made
// UTF-8.
inline std::optional<std::string> text_of(const Field& field) {
  if (field.kind == Field::Kind::Null) return std::nullopt;
  return qm::util::is_valid_utf8(field.bytes) ? field.bytes : qm::util::utf8_lossy(field.bytes);
}

}  // namespace fuzzing
