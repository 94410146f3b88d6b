// Rows parsed on workers: the same items, in row order, as one thread reading them, across
// many batches and whatever the number of workers.
#include "reader/row_workers.h"

#include <gtest/gtest.h>

#include <limits>

#include "kit/env.h"
#include "kit/sqlite.h"
#include "worker_budget.h"

namespace qm::reader {
namespace {

namespace fs = std::filesystem;

struct Item {
  std::int64_t n = 0;
  double r = 0.0;
  std::optional<std::string> text;  // as the consumer saw it
  bool null_n = false;

  bool operator==(const Item&) const = default;
};

// Rows of every kind of cell, some passed over, texts long and short, some not UTF-8; with
// `rowid`, each row's rowid is rowid(i).
void table(const fs::path& path, int rows, std::int64_t (*rowid)(int) = nullptr) {
  std::vector<kit::SqlRow> values;
  for (int i = 0; i < rows; ++i) {
    kit::SqlValue text = std::string(static_cast<std::size_t>(i % 700), static_cast<char>('a' + i % 26)) + std::to_string(i);
    if (i % 97 == 0) text = nullptr;
    if (i % 89 == 0) text = std::string("bad\xff") + std::to_string(i);
    kit::SqlValue n = static_cast<std::int64_t>(i * 7);
    if (i % 13 == 0) n = nullptr;
    values.push_back({std::move(n), i * 0.25, std::move(text)});
    if (rowid) values.back().insert(values.back().begin(), rowid(i));
  }
  kit::SqliteFile db(path);
  db.exec("CREATE TABLE t (n INTEGER, r REAL, s TEXT); BEGIN");  // one commit, not one per row
  if (rowid)
    db.insert("t", {"rowid", "n", "r", "s"}, values);
  else
    db.insert("t", {"n", "r", "s"}, values);
  db.exec("COMMIT");
}

constexpr std::string_view kQuery = "SELECT n, r, s FROM t";
constexpr RowidSpans kSpans{"SELECT (SELECT min(rowid) FROM t), (SELECT max(rowid) FROM t)",
                            "SELECT n, r, s FROM t WHERE rowid BETWEEN ?1 AND ?2 ORDER BY rowid", 4096};
constexpr Column kColumns[] = {Column::Integer, Column::Real, Column::Text};

std::vector<Item> by_one_thread(const fs::path& db) {
  std::vector<Item> items;
  for_each_row(
      db, "Test", kQuery, false,
      [&](const Row& row) {
        if (row.int64(0) % 5 == 1) return;  // passed over
        Item it{row.int64(0), row.real(1), std::nullopt, row.is_null(0)};
        if (auto t = row.text(2)) it.text = std::string(*t);
        items.push_back(std::move(it));
      },
      [&] { items.clear(); });
  return items;
}

std::vector<Item> by_workers(const fs::path& db, std::size_t workers, std::optional<RowidSpans> spans = std::nullopt) {
  std::vector<Item> items;
  struct Parsed {
    std::int64_t n;
    double r;
    std::optional<TextRef> text;
    bool null_n;
  };
  auto make_parse = [] {
    return [](const RowView& row, KeptTexts& kept) -> std::optional<Parsed> {
      if (row.int64(0) % 5 == 1) return std::nullopt;
      auto text = row.text(2);
      if (const auto bytes = row.bytes(2)) {
        const auto padded = row.padded(2, *bytes);
        if (padded.data()[padded.size()] != '\0' || padded != *bytes) ADD_FAILURE() << "no padding after the bytes";
      }
      return Parsed{row.int64(0), row.real(1), text ? std::optional(kept.keep(*text)) : std::nullopt, row.is_null(0)};
    };
  };
  const auto read = for_each_parsed_row<Parsed>(
      db, "Test", kQuery, false, kColumns, workers, make_parse,
      [&](std::span<const std::optional<Parsed>> batch, const KeptTexts& kept) {
        for (const auto& p : batch) {
          if (!p) continue;
          Item it{p->n, p->r, std::nullopt, p->null_n};
          if (p->text) it.text = std::string(kept[*p->text]);
          items.push_back(std::move(it));
        }
      },
      [&] { ADD_FAILURE() << "read again"; }, spans);
  EXPECT_EQ(read.end, DatabaseRead::End::Read);
  return items;
}

TEST(RowWorkers, TheSameItemsInRowOrderWhateverTheWorkers) {
  kit::TempDir t;
  table(t / "big.db", 20'000);  // many batches, by count and by size
  table(t / "small.db", 3);     // less than one batch
  kit::SqliteFile(t / "empty.db").exec("CREATE TABLE t (n INTEGER, r REAL, s TEXT)");
  for (const char* name : {"big.db", "small.db", "empty.db"}) {
    const auto want = by_one_thread(t / name);
    for (std::size_t workers : {1u, 2u, 8u}) EXPECT_EQ(by_workers(t / name, workers), want) << name << " " << workers;
  }
}

// Rowids that cross zero, not in the order of insertion, with gaps: many spans, some empty.
std::int64_t spread(int i) { return (i % 2 ? 1 : -1) * static_cast<std::int64_t>(i) * 97 + (i % 3) * 5; }
// Rowids as far apart as they go: too sparse to share out.
std::int64_t extremes(int i) {
  if (i == 0) return std::numeric_limits<std::int64_t>::min();
  if (i == 1) return std::numeric_limits<std::int64_t>::max();
  return i;
}

TEST(RowWorkers, RowidSpansOnSeveralConnectionsGiveTheRowsOfOneQuery) {
  kit::TempDir t;
  table(t / "spread.db", 20'000, spread);
  table(t / "extremes.db", 5'000, extremes);
  table(t / "wal.db", 20'000, spread);
  kit::SqliteFile writer(t / "wal.db");  // the log stays while the agent is open
  writer.wal().exec("SELECT count(*) FROM t");  // which opens it
  kit::SqliteFile(t / "empty.db").exec("CREATE TABLE t (n INTEGER, r REAL, s TEXT)");
  for (const char* name : {"spread.db", "extremes.db", "wal.db", "empty.db"}) {
    const auto want = by_one_thread(t / name);
    for (std::size_t workers : {1u, 3u, 8u}) EXPECT_EQ(by_workers(t / name, workers, kSpans), want) << name << " " << workers;
  }

  table(t / "closed-wal.db", 20'000, spread);
  {
    kit::SqliteFile closed(t / "closed-wal.db");
    closed.wal();
  }  // no log beside it: read as immutable
  for (const char* name : {"spread.db", "closed-wal.db", "wal.db"}) {
    const auto plan = ReadPlan::make(t / name, true);
    auto db = Database::open(plan);
    ASSERT_TRUE(db);
    auto begun = detail::begin_spans(*db, plan, kSpans, 4);
    ASSERT_TRUE(begun) << name;
    const detail::Spans& spans = begun->spans;
    EXPECT_EQ(spans.at(0).first, spread(19'998));
    EXPECT_EQ(spans.at(spans.count - 1).second, spread(19'999));
    EXPECT_TRUE(detail::join_spans(plan, kSpans, spans));
    detail::Spans other = spans;
    other.last += 1;  // as if a row was appended before the second connection began
    EXPECT_FALSE(detail::join_spans(plan, kSpans, other));
    // Only a live log needs the watch, which sees the agent's commits.
    ASSERT_EQ(begun->watch.has_value(), std::string_view(name) == "wal.db") << name;
    if (!begun->watch) continue;
    EXPECT_TRUE(begun->watch->none_since());
    writer.exec("UPDATE t SET n = n + 1 WHERE rowid = " + std::to_string(spread(5)));
    EXPECT_FALSE(begun->watch->none_since());
  }
  for (const char* name : {"extremes.db", "empty.db"}) {
    const auto plan = ReadPlan::make(t / name, true);
    auto db = Database::open(plan);
    ASSERT_TRUE(db);
    EXPECT_FALSE(detail::begin_spans(*db, plan, kSpans, 4)) << name;
  }
}

TEST(RowWorkers, FailuresAreTheDebugLinesOfOneThread) {
  kit::TempDir t;
  kit::SqliteFile(t / "other.db").exec("CREATE TABLE other (x)");
  auto never = [] { return [](const RowView&, KeptTexts&) -> std::optional<int> { return 1; }; };
  auto none = [](std::span<const std::optional<int>>, const KeptTexts&) { ADD_FAILURE(); };
  testing::internal::CaptureStderr();
  EXPECT_EQ(for_each_parsed_row<int>(t / "other.db", "Test", kQuery, true, kColumns, 4, never, none, [] {}).end,
            DatabaseRead::End::OtherSchema);
  EXPECT_EQ(for_each_parsed_row<int>(t / "gone.db", "Test", kQuery, true, kColumns, 4, never, none, [] {}).end,
            DatabaseRead::End::Unreadable);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to read Test database: " + (t / "other.db").string() +
                                                        "\nFailed to open Test database: " + (t / "gone.db").string() + "\n");
}

}  // namespace
}  // namespace qm::reader

namespace qm::reader {
namespace {

// Workers asked for beyond the process's budget are not given: with one slot or two the
// rows are read alone or on fewer connections, the items the same.
TEST(RowWorkers, TheBudgetBoundsTheWorkersGivenTheSameItems) {
  kit::TempDir t;
  table(t / "big.db", 20'000);
  table(t / "spread.db", 20'000, spread);
  for (std::size_t budget : {1u, 2u}) {
    parallel::set_worker_budget(budget);
    EXPECT_EQ(by_workers(t / "big.db", 8), by_one_thread(t / "big.db")) << budget;
    EXPECT_EQ(by_workers(t / "spread.db", 8, kSpans), by_one_thread(t / "spread.db")) << budget;
  }
  parallel::set_worker_budget(parallel::available_processors());
}

}  // namespace
}  // namespace qm::reader
