// Read-only SQLite access: typed columns, the debug lines, and databases left as they were,
// also while their agent holds them open or writes to them.
#include "reader/sqlite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "kit/env.h"
#include "kit/snapshot.h"
#include "kit/sqlite.h"
#include "kit/sqlite_writer.h"

namespace qm::reader {
namespace {

namespace fs = std::filesystem;

std::vector<std::int64_t> read_x(const fs::path& db, bool* ok = nullptr) {
  std::vector<std::int64_t> xs;
  const auto read = for_each_row(
      db, "Test", "SELECT x FROM t ORDER BY x", false, [&](const Row& r) { xs.push_back(r.int64(0)); },
      [&] { xs.clear(); });
  if (ok) *ok = read.end == DatabaseRead::End::Read;
  return xs;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReaderSqlite, TypedColumnsAndLossyText) {
  kit::TempDir t;
  kit::SqliteFile(t / "a.db")
      .exec("CREATE TABLE c (a, b, c, d, e, f)")
      .insert("c", {"a", "b", "c", "d", "e", "f"},
              {{nullptr, std::int64_t{7}, 2.9, std::string("42"), std::string("a\xff" "b"), kit::SqlBlob{"bl"}}});
  int rows = 0;
  const auto read = for_each_row(t / "a.db", "Test", "SELECT a, b, c, d, e, f FROM c", false, [&](const Row& r) {
    ++rows;
    EXPECT_TRUE(r.is_null(0));
    EXPECT_EQ(r.int64(0), 0);
    EXPECT_EQ(r.real(0), 0.0);
    EXPECT_EQ(r.text(0), std::nullopt);
    EXPECT_EQ(r.text(1), "7");
    EXPECT_EQ(r.int64(2), 2);  // a real number is cut
    EXPECT_EQ(r.int64(3), 42);
    EXPECT_EQ(r.text(4), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(r.text(3), "42");  // the lossy buffer of one column leaves the others alone
    EXPECT_EQ(r.text(4), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(r.text(5), "bl");
  }, [] { ADD_FAILURE(); });
  EXPECT_EQ(read.end, DatabaseRead::End::Read);
  EXPECT_EQ(rows, 1);
}

// Texts on both sides of the length a plain byte look covers: ASCII, valid UTF-8 and invalid
// bytes at the end, where a look that stopped short would miss them.
TEST(ReaderSqlite, TextIsLossyWhateverItsLength) {
  struct Case {
    std::string stored, read;
  };
  std::vector<Case> cases;
  for (std::size_t n : {0, 1, 62, 63, 64, 65, 200}) {
    const std::string ascii(n, 'x');
    cases.push_back({ascii, ascii});
    cases.push_back({ascii + "\xC3\xA9", ascii + "\xC3\xA9"});
    cases.push_back({ascii + "\xff", ascii + "\xEF\xBF\xBD"});
    if (n > 0) cases.push_back({ascii.substr(1) + "\x80", ascii.substr(1) + "\xEF\xBF\xBD"});
  }
  kit::TempDir t;
  std::vector<kit::SqlRow> stored;
  for (std::size_t i = 0; i < cases.size(); ++i) stored.push_back({static_cast<std::int64_t>(i), cases[i].stored});
  kit::SqliteFile(t / "a.db").exec("CREATE TABLE c (n, v)").insert("c", {"n", "v"}, stored);
  std::size_t rows = 0;
  const auto read = for_each_row(t / "a.db", "Test", "SELECT n, v FROM c ORDER BY n", false, [&](const Row& r) {
    const auto& c = cases[static_cast<std::size_t>(r.int64(0))];
    EXPECT_EQ(r.text(1), c.read) << c.stored.size();
    ++rows;
  }, [] { ADD_FAILURE(); });
  EXPECT_EQ(read.end, DatabaseRead::End::Read);
  EXPECT_EQ(rows, cases.size());
}

// A database that cannot be opened, or read to its end twice, is unreadable and gives no row;
// one of another schema is passed over; only --debug tells which.
TEST(ReaderSqlite, FailuresAreDebugLinesWithThePathAndUnreadableDatabasesGiveNoRow) {
  kit::TempDir t;
  kit::SqliteFile(t / "ok.db").exec("CREATE TABLE t (x); INSERT INTO t VALUES (1), (2), (3)");
  kit::write_file(t / "junk.db", std::string(4096, 'j'));
  fs::create_directories(t / "dir.db");
  {
    kit::SqliteFile big(t / "torn.db");
    big.exec("CREATE TABLE t (x, pad); BEGIN");
    for (int i = 0; i < 200; ++i) big.exec("INSERT INTO t VALUES (" + std::to_string(i) + ", zeroblob(1000))");
    big.exec("COMMIT");
  }
  kit::corrupt_page(t / "torn.db", kit::page_count(t / "torn.db") - 5);  // rows come before it
  {
    kit::SqliteFile(t / "closed/torn.db").wal();
  }
  fs::copy_file(t / "torn.db", t / "closed/torn.db", fs::copy_options::overwrite_existing);
  std::fstream(t / "closed/torn.db", std::ios::in | std::ios::out | std::ios::binary).seekp(18).write("\2\2", 2);
  kit::Snapshot closed(t / "closed");  // read as immutable, twice: nothing is left beside it
  const std::string query_fails_on_2 = "SELECT x, CASE WHEN x = 2 THEN abs(-9223372036854775807 - 1) END FROM t";
  using End = DatabaseRead::End;
  struct Case {
    fs::path db;
    std::string sql;
    End end;
    std::string reason;
    std::vector<std::int64_t> rows;
    std::string line;
  } cases[] = {
      {t / "missing.db", "SELECT x FROM t", End::Unreadable, "No such file or directory", {},
       "Failed to open Test database: " + (t / "missing.db").string()},
      {t / "dir.db", "SELECT x FROM t", End::Unreadable, "not a regular file", {},
       "Failed to open Test database: " + (t / "dir.db").string()},
      {t / "junk.db", "SELECT x FROM t", End::Unreadable, "file is not a database", {},
       "Failed to read Test database: " + (t / "junk.db").string()},
      {t / "ok.db", "SELECT y FROM t", End::OtherSchema, "", {}, "Failed to read Test database: " + (t / "ok.db").string()},
      {t / "ok.db", query_fails_on_2, End::Unreadable, "integer overflow", {},
       "Failed to query Test database: " + (t / "ok.db").string()},
      {t / "torn.db", "SELECT x FROM t", End::Unreadable, "database disk image is malformed", {},
       "Failed to query Test database: " + (t / "torn.db").string()},
      {t / "closed/torn.db", "SELECT x FROM t", End::Unreadable, "database disk image is malformed", {},
       "Failed to query Test database: " + (t / "closed/torn.db").string()},
      {t / "ok.db", "SELECT x FROM t ORDER BY x", End::Read, "", {1, 2, 3}, ""},
  };
  for (const auto& c : cases) {
    for (bool debug : {false, true}) {
      std::vector<std::int64_t> rows;
      testing::internal::CaptureStderr();
      const auto read = for_each_row(
          c.db, "Test", c.sql, debug, [&](const Row& r) { rows.push_back(r.int64(0)); }, [&] { rows.clear(); });
      std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(read.end, c.end) << c.db << " " << c.sql;
      EXPECT_EQ(read.reason, c.reason) << c.db << " " << c.sql;
      EXPECT_EQ(rows, c.rows) << c.db << " " << c.sql;
      EXPECT_EQ(err, debug && !c.line.empty() ? c.line + "\n" : "") << c.db << " " << c.sql;
    }
  }
  EXPECT_TRUE(closed.unchanged());
}

TEST(ReaderSqlite, ClosedDatabasesAreReadWithoutATraceInEitherJournalMode) {
  kit::TempDir t;
  const fs::path dir = t / "we?ird#%20dir";  // characters that mean something in a URI
  {
    kit::SqliteFile(dir / "rollback.db").exec("CREATE TABLE t (x); INSERT INTO t VALUES (1), (2)");
    kit::SqliteFile wal(dir / "wal.db");
    wal.wal().exec("CREATE TABLE t (x); INSERT INTO t VALUES (3), (4)");
  }  // the last connection folds the log into the file and removes it
  ASSERT_EQ(names_in(dir), (std::vector<std::string>{"rollback.db", "wal.db"}));
  kit::Snapshot before(dir);
  EXPECT_EQ(read_x(dir / "rollback.db"), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(read_x(dir / "wal.db"), (std::vector<std::int64_t>{3, 4}));
  EXPECT_TRUE(before.unchanged());  // no -wal or -shm left behind, no byte or time changed
}

TEST(ReaderSqlite, APathThroughASymbolicLinkAndDotDotOpensTheFileItNames) {
  kit::TempDir t;
  kit::SqliteFile(t / "real/data/x.db").exec("CREATE TABLE t (x); INSERT INTO t VALUES (5)");
  fs::create_directories(t / "real/deep");
  fs::create_symlink(t / "real/deep", t / "link");
  // Where "link/.." would lead if the path were read as text.
  kit::SqliteFile(t / "data/x.db").exec("CREATE TABLE t (x); INSERT INTO t VALUES (6)");
  EXPECT_EQ(read_x(t / "link/../data/x.db"), (std::vector<std::int64_t>{5}));
}

TEST(ReaderSqlite, AClosedDatabaseReadThroughALogIsReadWithoutATraceWhateverItsWriteVersion) {
  // SQLite reads through the log when the read version (byte 19) is 2; the write version
  // (byte 18) only decides whether it may write.
  kit::TempDir t;
  const fs::path db = t / "wal.db";
  {
    kit::SqliteFile wal(db);
    wal.wal().exec("CREATE TABLE t (x); INSERT INTO t VALUES (5)");
  }
  for (char write_version : {1, 3}) {
    std::fstream(db, std::ios::in | std::ios::out | std::ios::binary).seekp(18).put(write_version);
    kit::Snapshot before(t.path());
    EXPECT_EQ(read_x(db), (std::vector<std::int64_t>{5})) << int(write_version);
    EXPECT_TRUE(before.unchanged()) << int(write_version);
  }
}

TEST(ReaderSqlite, AWriteAheadDatabaseHeldByItsAgentIsReadToItsLastCommit) {
  kit::TempDir t;
  const fs::path db = t / "agent.db";
  kit::SqliteFile agent(db);
  agent.wal().exec("PRAGMA wal_autocheckpoint=0; CREATE TABLE t (x); INSERT INTO t VALUES (1)");
  agent.exec("INSERT INTO t VALUES (2)");          // committed, only in the log so far
  agent.exec("BEGIN IMMEDIATE; INSERT INTO t VALUES (3)");  // a write under way
  const auto names = names_in(t.path());
  kit::Snapshot file(db);

  EXPECT_EQ(read_x(db), (std::vector<std::int64_t>{1, 2}));
  EXPECT_TRUE(file.unchanged());
  EXPECT_EQ(names_in(t.path()), names);
  agent.exec("COMMIT");
  EXPECT_EQ(read_x(db), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(ReaderSqlite, ARollbackDatabaseLockedForACommitIsWaitedFor) {
  kit::TempDir t;
  const fs::path db = t / "agent.db";
  kit::SqliteFile agent(db);
  agent.exec("CREATE TABLE t (x); INSERT INTO t VALUES (1)");
  agent.exec("BEGIN EXCLUSIVE; INSERT INTO t VALUES (2)");  // no reader gets in until the commit
  std::thread commit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    agent.exec("COMMIT");
  });
  bool ok = false;
  auto rows = read_x(db, &ok);  // starts while the lock is held
  commit.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(rows, (std::vector<std::int64_t>{1, 2}));
}

}  // namespace
}  // namespace qm::reader
