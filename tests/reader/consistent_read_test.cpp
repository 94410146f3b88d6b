// A read of a database is one state of it while another program writes: whether the reader
// steps one connection or several, whatever the journal, and when a step fails partway.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>

#include "kit/env.h"
#include "kit/sqlite.h"
#include "kit/sqlite_writer.h"
#include "reader/row_workers.h"
#include "reader/sqlite.h"

namespace qm::reader {
namespace {

namespace fs = std::filesystem;

// More rows than the steppers run ahead of the consumer, in spans of a few batches.
constexpr int kRows = 40'000;
constexpr std::string_view kQuery = "SELECT rowid, n FROM t";
constexpr RowidSpans kSpans{"SELECT (SELECT min(rowid) FROM t), (SELECT max(rowid) FROM t)",
                            "SELECT rowid, n FROM t WHERE rowid BETWEEN ?1 AND ?2 ORDER BY rowid", 64};
constexpr Column kColumns[] = {Column::Integer, Column::Integer};
// Every commit moves every row on by one: a row tells which state it was read from.
constexpr std::string_view kCommit = "UPDATE t SET n = n + 1";

void numbers(const fs::path& db, bool wal) {
  kit::SqliteFile file(db);
  if (wal) file.wal();
  file.exec("CREATE TABLE t (n INTEGER); BEGIN");
  file.exec("WITH RECURSIVE i(r) AS (SELECT 1 UNION ALL SELECT r + 1 FROM i WHERE r < " + std::to_string(kRows) +
            ") INSERT INTO t (rowid, n) SELECT r, 10 * r FROM i");
  file.exec("COMMIT");
}  // the last connection closes: no log beside a database in write-ahead mode

// The same, last changed long ago: a write during the read gives it another modification time,
// however coarse the clock.
void old_numbers(const fs::path& db, bool wal) {
  numbers(db, wal);
  fs::last_write_time(db, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
}

// What a read took: its rows, the states they came from, and how often it was told to drop them.
struct Taken {
  std::size_t rows = 0;
  std::set<std::int64_t> states;
  int discards = 0;
  DatabaseRead read;

  void take(std::int64_t rowid, std::int64_t n) {
    ++rows;
    states.insert(n - 10 * rowid);
  }
  void discard() {
    rows = 0;
    states.clear();
    ++discards;
    if (discarded) discarded();
  }
  std::function<void()> discarded;
};

// Reads the numbers with `workers` (0: for_each_row), calling during() once, when the first
// rows were taken, and discarded() after the read dropped them.
Taken read_numbers(const fs::path& db, std::size_t workers, const std::function<void()>& during,
                   std::function<void()> discarded = {}) {
  Taken taken;
  taken.discarded = std::move(discarded);
  bool called = false;
  auto once = [&] {
    if (!called) called = true, during();
  };
  if (workers == 0) {
    taken.read = for_each_row(
        db, "Test", kQuery, false,
        [&](const Row& row) {
          taken.take(row.int64(0), row.int64(1));
          once();
        },
        [&] { taken.discard(); });
    return taken;
  }
  auto make_parse = [] {
    return [](const RowView& row, KeptTexts&) { return std::optional(std::pair{row.int64(0), row.int64(1)}); };
  };
  taken.read = for_each_parsed_row<std::pair<std::int64_t, std::int64_t>>(
      db, "Test", kQuery, false, kColumns, workers, make_parse,
      [&](std::span<const std::optional<std::pair<std::int64_t, std::int64_t>>> batch, const KeptTexts&) {
        for (const auto& p : batch) taken.take(p->first, p->second);
        once();
      },
      [&] { taken.discard(); }, kSpans);
  return taken;
}

constexpr std::size_t kWorkers[] = {0, 1, 2, 8};  // one thread, stepping and parsing apart, spans

// The agent opens its closed database, commits and closes while the database is read as
// immutable. The reader holds the file's shared lock, so the agent cannot fold its log into
// the file under the read; the read sees the log and is done again, over the log.
TEST(ConsistentRead, AClosedWriteAheadDatabaseThatAnAgentWritesDuringTheReadIsReadAgain) {
  for (std::size_t workers : kWorkers) {
    kit::TempDir t;
    numbers(t / "db", true);
    kit::WriterProcess agent(t / "db");
    const Taken taken = read_numbers(t / "db", workers, [&] { EXPECT_EQ(agent.session(kCommit), SQLITE_OK); });
    EXPECT_EQ(taken.read.end, DatabaseRead::End::Read) << workers;
    EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows)) << workers;
    EXPECT_EQ(taken.states, std::set<std::int64_t>{1}) << workers;
    EXPECT_EQ(taken.discards, 1) << workers;
  }
}

// Bytes that change under an immutable read without any log (a copy written over the file)
// are seen by the file's size, time or change counter.
TEST(ConsistentRead, AClosedWriteAheadDatabaseOverwrittenDuringTheReadIsReadAgain) {
  for (std::size_t workers : kWorkers) {
    kit::TempDir t;
    old_numbers(t / "db", true);
    numbers(t / "next.db", true);
    {
      kit::SqliteFile next(t / "next.db");
      next.exec(kCommit);
    }
    const std::string next = kit::read_file(t / "next.db");
    const Taken taken = read_numbers(t / "db", workers, [&] {
      std::ofstream(t / "db", std::ios::in | std::ios::out | std::ios::binary).write(next.data(),
                                                                                 static_cast<std::streamsize>(next.size()));
    });
    EXPECT_EQ(taken.read.end, DatabaseRead::End::Read) << workers;
    EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows)) << workers;
    EXPECT_EQ(taken.states, std::set<std::int64_t>{1}) << workers;
    EXPECT_EQ(taken.discards, 1) << workers;
  }
}

// Commits tried while a reader that steps several connections opens each further one, and
// when the first rows arrive: under a rollback journal the shared lock keeps every one out
// until the read ends; under a write-ahead log they commit, and the read still gives one state.
struct Writes {
  std::mutex mutex;
  std::vector<int> results;
};

Taken read_while_committing(const fs::path& db, kit::WriterProcess& agent, Writes& writes) {
  auto commit = [&] {
    const int rc = agent.exec(kCommit);
    std::lock_guard lock(writes.mutex);
    writes.results.push_back(rc);
  };
  std::atomic<int> opened = 0;
  kit::OpenHook hook([&](std::string_view name) {
    if (name == fs::canonical(db).string() && opened++ > 0) commit();  // a connection after the first
  });
  return read_numbers(db, 8, commit);
}

TEST(ConsistentRead, ARollbackJournalKeepsWritersOutWhileSeveralConnectionsRead) {
  kit::TempDir t;
  numbers(t / "db", false);
  kit::WriterProcess agent(t / "db");
  Writes writes;
  const Taken taken = read_while_committing(t / "db", agent, writes);
  EXPECT_EQ(taken.read.end, DatabaseRead::End::Read);
  EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows));
  EXPECT_EQ(taken.states, std::set<std::int64_t>{0});
  EXPECT_GT(writes.results.size(), 1u);  // the read did open further connections
  for (int rc : writes.results) EXPECT_EQ(rc, SQLITE_BUSY);
  EXPECT_EQ(agent.exec(kCommit), SQLITE_OK);  // and the lock goes with the read
}

TEST(ConsistentRead, AWriteAheadLogGivesOneStateWhileItsAgentCommits) {
  kit::TempDir t;
  numbers(t / "db", true);
  kit::WriterProcess agent(t / "db");
  ASSERT_EQ(agent.exec("SELECT count(*) FROM t"), SQLITE_OK);  // the agent holds its log open
  ASSERT_TRUE(fs::exists(t / "db-wal"));
  Writes writes;
  const Taken taken = read_while_committing(t / "db", agent, writes);
  EXPECT_EQ(taken.read.end, DatabaseRead::End::Read);
  EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows));
  EXPECT_EQ(taken.states.size(), 1u);
  for (int rc : writes.results) EXPECT_EQ(rc, SQLITE_OK);
  EXPECT_EQ(taken.discards, 0);
}

// An agent that holds its log open and commits only once every connection began: the
// connections all read the state of the first one's beginning, which the commit is not part of.
TEST(ConsistentRead, ConnectionsThatBeganBeforeACommitUnderALogReadTheEarlierState) {
  kit::TempDir t;
  numbers(t / "db", true);
  kit::WriterProcess agent(t / "db");
  ASSERT_EQ(agent.exec("SELECT count(*) FROM t"), SQLITE_OK);
  std::atomic<int> opened = 0;
  kit::OpenHook hook([&](std::string_view name) {
    if (name == fs::canonical(t / "db").string()) ++opened;
  });
  int commits = 0;
  const Taken taken = read_numbers(t / "db", 8, [&] { commits += agent.exec(kCommit) == SQLITE_OK; });
  EXPECT_EQ(taken.read.end, DatabaseRead::End::Read);
  EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows));
  EXPECT_EQ(taken.states, std::set<std::int64_t>{0});
  EXPECT_EQ(commits, 1);
  EXPECT_GT(opened.load(), 2);  // the first connection, its watch and those that joined
  EXPECT_EQ(taken.discards, 0);
}

// A writer that keeps the database locked past the busy time-out: unreadable at once, without
// a second wait.
TEST(ConsistentRead, ADatabaseLockedPastTheBusyTimeOutIsUnreadable) {
  kit::TempDir t;
  numbers(t / "db", false);
  kit::WriterProcess agent(t / "db");
  ASSERT_EQ(agent.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
  const Taken taken = read_numbers(t / "db", 0, [] {});
  EXPECT_EQ(taken.read.end, DatabaseRead::End::Unreadable);
  EXPECT_EQ(taken.read.reason, "database is locked");
  EXPECT_EQ(taken.discards, 1);
  EXPECT_EQ(taken.rows, 0u);
}

// A page that reads as corrupt once the first rows were taken: the rows of the failed read
// are dropped, and the read is done again from the start. Mended before that, the rows count
// once; still corrupt, the database is unreadable and none of its rows count.
TEST(ConsistentRead, AStepThatFailsPartwayIsReadAgainFromTheStart) {
  for (bool wal : {false, true}) {
    for (bool mend : {true, false}) {
      for (std::size_t workers : kWorkers) {
        const std::string name = std::string(wal ? "wal" : "rollback") + (mend ? " mended " : " ") + std::to_string(workers);
        kit::TempDir t;
        old_numbers(t / "db", wal);
        const std::uint32_t page = kit::page_count(t / "db") * 3 / 4;  // a leaf no step has reached yet
        std::string before;
        const Taken taken = read_numbers(
            t / "db", workers, [&] { before = kit::corrupt_page(t / "db", page); },
            [&] {
              if (mend && !before.empty()) kit::restore_page(t / "db", page, before);
            });
        if (mend) {
          EXPECT_EQ(taken.read.end, DatabaseRead::End::Read) << name;
          EXPECT_EQ(taken.rows, static_cast<std::size_t>(kRows)) << name;
          EXPECT_EQ(taken.states, std::set<std::int64_t>{0}) << name;
          EXPECT_EQ(taken.discards, 1) << name;
        } else {
          EXPECT_EQ(taken.read.end, DatabaseRead::End::Unreadable) << name;
          EXPECT_EQ(taken.read.reason, "database disk image is malformed") << name;
          EXPECT_EQ(taken.rows, 0u) << name;
          // An immutable read sees the change and the file is read twice more with SQLite's locks.
          EXPECT_EQ(taken.discards, wal ? 3 : 2) << name;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qm::reader
