#pragma once
// Reading a large table faster than one thread can parse it. Where several connections can
// read one state of the database (see begin_spans), each of them steps spans of rowids on a
// thread of its own and turns its rows into items (parsing JSON columns, pricing) as it steps
// them; else one stepping thread copies each row's columns into batches and worker threads
// turn the rows of a batch into items. Either way the calling thread takes the items back in
// row order, and neither the items nor their order depend on the number of workers.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "parallel.h"
#include "reader/sqlite.h"
#include "start_thread.h"

namespace qm::reader {

// How a column is copied: its text (as Row::text gives it), or SQLite's integer or float
// conversion. Every kind keeps whether the column was NULL.
enum class Column : std::uint8_t { Text, Integer, Real };

namespace detail {

struct Cell {
  std::int64_t integer = 0;
  double real = 0.0;
  std::uint32_t offset = 0, size = 0;  // of a text, in Rows::bytes
  bool null = true;
};

// The copied rows of one batch.
struct Rows {
  std::vector<Cell> cells;  // row after row
  std::string bytes;        // the texts, each followed by the JSON parser's padding
  std::size_t count = 0;

  void capture(const Row& row, std::span<const Column> columns);
  bool full() const;
  void clear();
};

// Steps the query, capturing rows, until the batch is full (more rows may follow), the rows
// are done, or a step fails.
enum class Fill { Full, Done, Failed };
Fill fill(Statement& stmt, Rows& rows, std::span<const Column> columns);

// Threads that run queued jobs; the thread that waits runs them too.
class Pool {
 public:
  explicit Pool(std::size_t threads);  // fewer when the system gives fewer
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  std::size_t threads() const { return threads_.size(); }

  // job(worker) runs on a thread (worker 1, 2 ...) or on a caller in wait() (worker 0, so
  // one thread at most may wait); `done` is set, under the pool's lock, when it returns.
  void submit(std::function<void(std::size_t)> job, bool* done);
  // Returns once *done holds, running queued jobs on this thread meanwhile.
  void wait(const bool* done);

 private:
  struct Job {
    std::function<void(std::size_t)> run;
    bool* done;
  };
  void work(std::size_t worker);
  void run_first(std::unique_lock<std::mutex>& lock, std::size_t worker);  // the lock held

  std::mutex mutex_;
  std::condition_variable jobs_;      // a job was queued, or the pool closes
  std::condition_variable finished_;  // a job was done, or queued (for callers in wait())
  std::deque<Job> queue_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace detail

// Texts an item keeps beyond its row (the parser's strings do not outlive the next parse):
// copied beside the batch, valid until the item is consumed.
struct TextRef {
  std::uint32_t offset = 0, size = 0;
};
class KeptTexts {
 public:
  TextRef keep(std::string_view text);
  std::string_view operator[](TextRef ref) const { return std::string_view(bytes_).substr(ref.offset, ref.size); }
  // A name that many items of a batch repeat (a model, say), kept once and known by its
  // number: the consumer looks each one up once a batch. Numbers go from 0 to names() - 1.
  std::uint32_t keep_name(std::string_view name);
  std::string_view name(std::uint32_t number) const { return (*this)[names_[number]]; }
  std::size_t names() const { return names_.size(); }
  void clear() {
    bytes_.clear();
    names_.clear();
  }

 private:
  std::string bytes_;
  std::vector<TextRef> names_;
};

// The row being parsed, read as a Row is read: a row of a stepping connection, or one copied
// into a batch. Its views stay valid until the next row.
class RowView {
 public:
  // A copied row of `rows` (at(row) picks it), or the current row of a connection.
  RowView(const detail::Rows& rows, std::size_t width, std::vector<std::string>& scratch)
      : rows_(&rows), width_(width), scratch_(&scratch) {}
  RowView(const Row& row, std::vector<std::string>& scratch) : live_(&row), scratch_(&scratch) {}
  void at(std::size_t row) { first_ = row * width_; }

  bool is_null(int column) const { return live_ ? live_->is_null(column) : cell(column).null; }
  std::int64_t int64(int column) const { return live_ ? live_->int64(column) : cell(column).integer; }
  double real(int column) const { return live_ ? live_->real(column) : cell(column).real; }
  // Invalid UTF-8 sequences replaced by U+FFFD; none for NULL.
  std::optional<std::string_view> text(int column) const;
  // The bytes as SQLite gave them (not checked for UTF-8); none for NULL.
  std::optional<std::string_view> bytes(int column) const;
  // The bytes that bytes(column) gave, followed by the JSON parser's padding, so that
  // StrictParser::parse reads them in place: a JSON column is parsed as it is, and made text
  // only when that fails. Taking them saves asking SQLite for them again.
  std::string_view padded(int column, std::string_view bytes) const;

 private:
  const detail::Cell& cell(int column) const { return rows_->cells[first_ + static_cast<std::size_t>(column)]; }

  const Row* live_ = nullptr;
  const detail::Rows* rows_ = nullptr;  // the texts in it are followed by the padding
  std::size_t width_ = 0, first_ = 0;
  std::vector<std::string>* scratch_;  // per column: a padded copy, text made of invalid UTF-8
};

// The expect_rows of a consumer that has no use for the number.
struct AnyRows {
  void operator()(std::uint64_t) const {}
};

// The number of threads that parse rows: 1 under --single-thread, else the processors.
std::size_t row_workers(bool single_thread);

// A query whose rows come in rowid order, which can also be run over a span of rowids.
struct RowidSpans {
  // The first and the last rowid, each its own subquery so that neither scans the table.
  std::string_view bounds;
  std::string_view ranged;  // the query's rows with rowids from ?1 to ?2 (both in), in rowid order
  std::uint64_t width;      // rowids in a span: a few batches' worth
};

namespace detail {

// Rowids from `first` to `last` cut into `count` spans of `width` rowids (the last span to
// the end).
struct Spans {
  std::int64_t first = 0, last = 0;
  std::uint64_t width = 0;
  std::size_t count = 0;

  std::pair<std::int64_t, std::int64_t> at(std::size_t span) const;
  // Rows the spans can hold: one per rowid.
  std::uint64_t rows() const { return static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first) + 1; }
};

// A connection stepping spans, in a read transaction.
struct SpanReader {
  std::optional<Database> db;  // none for the first connection, owned by the caller
  Statement stmt;
};
// Under a write-ahead log each connection reads the state of the moment it begins: a
// connection of its own looks for commits before the first one begins and after the last
// one began. Every one read the first one's state when none came in between.
struct CommitWatch {
  Database db;
  std::int64_t version = 0;

  bool none_since() { return db.data_version() == version; }
};
struct SpanStart {
  Spans spans;
  SpanReader first;
  std::optional<CommitWatch> watch;  // under a write-ahead log
};
// Begins a read transaction on the first connection, which stays open while others join,
// and cuts the table into spans; none when the table is too small to share among
// `connections`, its rowids too sparse, or the ranged query cannot be prepared (a table
// without rowids, say).
std::optional<SpanStart> begin_spans(Database& first, const ReadPlan& plan, const RowidSpans& query,
                                     std::size_t connections);
// Another connection that reads the state the first one reads: it opens as the first one did
// and begins its read transaction while the first one's is open, so that under a rollback
// journal no writer can commit in between (an immutable file is checked after the read, a
// write-ahead log by the watch once all joined); and it saw the same first and last rowid.
// None otherwise.
std::optional<SpanReader> join_spans(const ReadPlan& plan, const RowidSpans& query, const Spans& spans);
// The connections that step a large table at once for this many workers.
std::size_t span_connections(std::size_t workers);
// A database file of more bytes than this waits for worker slots to read on several
// connections (parsing it alone would take longer than the others' drains).
inline constexpr std::uintmax_t kAwaitSlotsAbove = 16u << 20;

// The items of the rows of one span, or of one batch, with the texts they keep.
template <typename Item>
struct Parsed {
  std::vector<std::optional<Item>> items;
  KeptTexts texts;

  void clear() {
    items.clear();
    texts.clear();
  }
};

// Steps the spans on `connections` connections, each on a thread of its own that parses the
// rows it steps, and hands each span's items to take(const Parsed<Item>&) on this thread in
// span order. The connections step once every one has tried to join; none step, and this
// gives none, when no other could join, the watch saw a commit, or no thread could start:
// the first connection then reads alone.
template <typename Item, typename MakeParse, typename Take>
std::optional<Attempt> parse_spans(const ReadPlan& plan, const RowidSpans& query, SpanStart& start,
                                   std::size_t connections, std::span<const Column> columns, MakeParse& make_parse,
                                   Take take) {
  const Spans& cut = start.spans;
  struct Slot {
    Parsed<Item> parsed;
    bool complete = false;
    std::optional<ReadFailure> failure;
  };
  // A stepper runs ahead of the consumer by at most this many spans.
  const std::size_t window = connections + connections / 2 + 1;
  std::vector<Slot> slots(window);
  // Each side wakes the other only when it waits for what it did: a freed slot wakes one
  // stepper, and only the span this thread waits for wakes it.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::mutex mutex;
  std::condition_variable room, completed;  // for the steppers, for this thread
  std::size_t next = 0, consumed = 0, awaited = kNone, waiting = 0;
  bool stop = false;
  enum class Go : std::uint8_t { Wait, Step, Quit };
  Go go = Go::Wait;
  std::size_t tried = 0, joined = 0;  // joins that ended, and that gave a connection
  auto stepping = [&] {
    std::unique_lock lock(mutex);
    room.wait(lock, [&] { return go != Go::Wait; });
    return go == Go::Step;
  };
  auto step_spans = [&](Statement& stmt) {
    auto parse = make_parse();
    std::vector<std::string> scratch(columns.size());
    const RowView row(stmt.row(), scratch);
    for (;;) {
      std::size_t span = 0;
      {
        std::unique_lock lock(mutex);
        if (!stop && next < cut.count && next >= consumed + window) {
          ++waiting;
          room.wait(lock, [&] { return stop || next < consumed + window; });
          --waiting;
        }
        if (stop || next >= cut.count) return;
        span = next++;
      }
      // The slot is this stepper's alone until it is complete.
      Slot& slot = slots[span % window];
      const auto [low, high] = cut.at(span);
      stmt.reset();
      std::optional<ReadFailure> failure;
      if (!stmt.bind_int64(1, low) || !stmt.bind_int64(2, high)) failure = stmt.failure();
      while (!failure) {
        const Statement::Step step = stmt.step();
        if (step == Statement::Step::Done) break;
        if (step == Statement::Step::Failed) {
          failure = stmt.failure();
          break;
        }
        slot.parsed.items.push_back(parse(row, slot.parsed.texts));
      }
      const bool failed = failure.has_value();
      bool awaited_here = false;
      {
        std::lock_guard lock(mutex);
        slot.failure = std::move(failure);
        slot.complete = true;
        awaited_here = awaited == span;
      }
      if (awaited_here) completed.notify_one();
      if (failed) return;
    }
  };
  // Each further connection opens on its own thread; one that cannot join takes no span.
  std::vector<std::thread> steppers;
  if (!parallel::start_thread(steppers, [&] {
        if (stepping()) step_spans(start.first.stmt);
      }))
    return std::nullopt;
  std::size_t joining = 0;
  for (std::size_t c = 1; c < connections; ++c, ++joining)
    if (!parallel::start_thread(steppers, [&] {
          auto reader = join_spans(plan, query, cut);
          {
            std::lock_guard lock(mutex);
            ++tried;
            if (reader) ++joined;
          }
          completed.notify_one();
          if (stepping() && reader) step_spans(reader->stmt);
        }))
      break;
  {
    std::unique_lock lock(mutex);
    completed.wait(lock, [&] { return tried == joining; });
    go = joined > 0 && (!start.watch || start.watch->none_since()) ? Go::Step : Go::Quit;
  }
  room.notify_all();
  if (go == Go::Quit) {
    for (auto& t : steppers) t.join();
    return std::nullopt;
  }
  std::optional<ReadFailure> failed;
  for (std::size_t span = 0; span < cut.count && !failed; ++span) {
    Slot& slot = slots[span % window];
    {
      std::unique_lock lock(mutex);
      awaited = span;
      completed.wait(lock, [&] { return slot.complete; });
      awaited = kNone;
      failed = std::move(slot.failure);
    }
    if (!failed) take(slot.parsed);
    slot.parsed.clear();
    bool wake = false;
    {
      std::lock_guard lock(mutex);
      slot.failure.reset();
      slot.complete = false;
      ++consumed;
      if (failed) stop = true;
      wake = waiting > 0;
    }
    if (failed)
      room.notify_all();
    else if (wake)
      room.notify_one();
  }
  for (auto& t : steppers) t.join();
  if (failed) return std::unexpected(std::move(*failed));
  return Attempt{};
}

// Steps the query on this connection, copying its rows into batches that workers parse, and
// hands each batch's items to take(const Parsed<Item>&) on this thread in row order.
template <typename Item, typename MakeParse, typename Take>
Attempt parse_batches(Statement& stmt, std::size_t workers, std::span<const Column> columns, MakeParse& make_parse,
                      Take take) {
  struct Batch {
    Rows rows;
    Parsed<Item> parsed;
    bool done = false;

    void clear() {
      rows.clear();
      parsed.clear();
      done = false;
    }
  };
  using Parse = decltype(make_parse());
  struct Worker {
    std::optional<Parse> parse;
    std::vector<std::string> scratch;
  };
  std::vector<Worker> state(workers > 0 ? workers : 1);
  auto parse_batch = [&](Batch& b, std::size_t worker) {
    Worker& w = state[worker];
    if (!w.parse) w.parse.emplace(make_parse());
    w.scratch.resize(columns.size());
    RowView row(b.rows, columns.size(), w.scratch);
    b.parsed.items.resize(b.rows.count);
    for (std::size_t r = 0; r < b.rows.count; ++r) {
      row.at(r);
      b.parsed.items[r] = (*w.parse)(row, b.parsed.texts);
    }
  };
  // Batches are owned here, before any pool: a pool finishes its jobs before it goes. A failed
  // attempt leaves the batches it did not take back behind.
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::unique_ptr<Batch>> owned;
  std::vector<Batch*> spare;
  auto fresh = [&] {  // the mutex held
    if (spare.empty()) {
      owned.push_back(std::make_unique<Batch>());
      spare.push_back(owned.back().get());
    }
    Batch* b = spare.back();
    spare.pop_back();
    return b;
  };

  std::optional<ReadFailure> failure;  // of the step that ended the rows
  auto fill_batch = [&](Batch& b) {
    const Fill f = fill(stmt, b.rows, columns);
    if (f == Fill::Failed) failure = stmt.failure();
    return f;
  };
  auto ended = [&]() -> Attempt {
    if (failure) return std::unexpected(std::move(*failure));
    return {};
  };
  Batch* first = nullptr;
  {
    std::lock_guard lock(mutex);
    first = fresh();
  }
  Fill filled = fill_batch(*first);
  // One thread does it all: under a single worker, for less than a batch, or when the
  // system gives no thread.
  auto serially = [&] {
    for (;;) {
      parse_batch(*first, 0);
      take(first->parsed);
      first->clear();
      if (filled != Fill::Full) break;
      filled = fill_batch(*first);
    }
    std::lock_guard lock(mutex);
    spare.push_back(first);
    return ended();
  };
  if (filled != Fill::Full || workers < 2) return serially();
  // The stepper takes one slot of the budget, the pool the others; this thread parses too.
  const parallel::WorkerSlots slots(workers - 1);
  if (slots.count() == 0) return serially();
  Pool pool(slots.count() - 1);

  std::deque<Batch*> flight;  // in row order, each handed to the pool
  bool stepping = true;
  const std::size_t limit = 2 * (pool.threads() + 1);
  auto step_all = [&] {
    Batch* b = first;
    for (Fill f = Fill::Full;;) {
      {
        std::lock_guard lock(mutex);
        flight.push_back(b);
      }
      pool.submit([&parse_batch, b](std::size_t worker) { parse_batch(*b, worker); }, &b->done);
      cv.notify_all();
      if (f != Fill::Full) break;
      {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return flight.size() < limit; });
        b = fresh();
      }
      f = fill_batch(*b);
    }
    {
      std::lock_guard lock(mutex);
      stepping = false;
    }
    cv.notify_all();
  };
  std::vector<std::thread> stepper;
  if (!parallel::start_thread(stepper, step_all)) return serially();
  for (;;) {
    Batch* b = nullptr;
    {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return !flight.empty() || !stepping; });
      if (flight.empty()) break;
      b = flight.front();
    }
    pool.wait(&b->done);
    take(b->parsed);
    b->clear();
    {
      std::lock_guard lock(mutex);
      flight.pop_front();
      spare.push_back(b);
    }
    cv.notify_all();
  }
  for (auto& t : stepper) t.join();
  return ended();  // the stepper is done with `failure`
}

}  // namespace detail

// Runs `sql` over the database as for_each_row does (one state of it, the same debug lines
// and outcomes), copying the columns of each row as `columns` says where rows are copied.
// make_parse() is called once per worker and gives
// `parse(const RowView&, KeptTexts&) -> std::optional<Item>`;
// then `consume(std::span<const std::optional<Item>>, const KeptTexts&)` is called on this
// thread with the items of each batch (none for rows that gave none), batch after batch in
// row order: a consumer can look ahead within a batch (to prefetch, say). When the rows are
// read again, discard() first drops all that consume() took.
//
// With `spans`, a large table is stepped on several connections at once, span after span of
// rowids, each connection parsing the rows it steps, where the connections read one state
// (see begin_spans). Else, once a second batch is due, stepping moves to a thread of its own,
// workers parse the batches it copies, and this thread only takes the parsed batches back.
// Where the table's rowids are read first (spans), expect_rows(n) is told on this thread
// before the first batch that the rows are at most n, for a consumer that makes room ahead.
template <typename Item, typename MakeParse, typename Consume, typename Discard, typename ExpectRows = AnyRows>
DatabaseRead for_each_parsed_row(const std::filesystem::path& path, std::string_view label, std::string_view sql,
                                 bool debug, std::span<const Column> columns, std::size_t workers, MakeParse make_parse,
                                 Consume consume, Discard discard, std::optional<RowidSpans> spans = std::nullopt,
                                 ExpectRows expect_rows = {}) {
  auto take = [&](const detail::Parsed<Item>& parsed) {
    consume(std::span<const std::optional<Item>>(parsed.items), parsed.texts);
  };
  auto attempt = [&](const ReadPlan& plan) -> Attempt {
    auto query = open_query(plan, sql);
    if (!query) return std::unexpected(std::move(query.error()));
    if (spans && workers > 1) {
      // A stepper on a thread of its own per connection, this thread only taking their
      // items: it lends its slot to one of them. No connection joins once they step, so a
      // large table waits for slots that others give up rather than be read alone.
      const std::size_t wanted = detail::span_connections(workers) - 1;
      std::optional<parallel::WorkerSlots> slots;
      std::error_code size_error;
      if (std::filesystem::file_size(path, size_error) >= detail::kAwaitSlotsAbove && !size_error)
        slots.emplace(wanted, parallel::WorkerSlots::Await{});
      else
        slots.emplace(wanted);
      const std::size_t connections = slots->count() + 1;
      if (connections >= 2)
        if (auto begun = detail::begin_spans(query->db, plan, *spans, connections)) {
          expect_rows(begun->spans.rows());
          if (auto done = detail::parse_spans<Item>(plan, *spans, *begun, connections, columns, make_parse, take))
            return std::move(*done);
        }
    }
    return detail::parse_batches<Item>(query->stmt, workers, columns, make_parse, take);
  };
  return read_database(path, label, debug, attempt, discard);
}

}  // namespace qm::reader
