#pragma once
// Reading a large table faster than one thread can parse it: this thread steps the query and
// copies each row's columns into batches, worker threads turn the rows of a batch into items
// (parsing JSON columns, pricing), and this thread takes the items back in row order. Neither
// the items nor their order depend on the number of workers.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "parallel.h"
#include "reader/sqlite.h"

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

// Steps the query, capturing rows, until the batch is full (true: more rows may follow) or
// the rows are done (false; a failed step says so as for_each_row does).
bool fill(Statement& stmt, Rows& rows, std::span<const Column> columns, const std::filesystem::path& path,
          std::string_view label, bool debug);

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
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// One copied row, read as a Row is read.
class CopiedRow {
 public:
  CopiedRow(const detail::Rows& rows, std::size_t width, std::vector<std::string>& lossy)
      : rows_(&rows), width_(width), lossy_(&lossy) {}
  void at(std::size_t row) { first_ = row * width_; }

  bool is_null(int column) const { return cell(column).null; }
  std::int64_t int64(int column) const { return cell(column).integer; }
  double real(int column) const { return cell(column).real; }
  // Invalid UTF-8 sequences replaced by U+FFFD; none for NULL. The text is followed by the
  // JSON parser's padding, so StrictParser::parse reads it in place.
  std::optional<std::string_view> text(int column) const;
  // The bytes as SQLite gave them (not checked for UTF-8), also followed by the padding: a
  // JSON column can be parsed as it is, and made text only when that fails.
  std::optional<std::string_view> bytes(int column) const;

 private:
  const detail::Cell& cell(int column) const { return rows_->cells[first_ + static_cast<std::size_t>(column)]; }
  const detail::Rows* rows_;
  std::size_t width_, first_ = 0;
  std::vector<std::string>* lossy_;  // per column, used only for text that is not UTF-8
};

// The number of threads that parse rows: 1 under --single-thread, else the processors.
std::size_t row_workers(bool single_thread);

// Runs `sql` over the database as for_each_row does (the same debug lines and outcomes),
// copying the columns of each row as `columns` says. make_parse() is called once per worker
// and gives `parse(const CopiedRow&, KeptTexts&) -> std::optional<Item>`; then
// `consume(std::span<const std::optional<Item>>, const KeptTexts&)` is called on this thread
// with the items of each batch (none for rows that gave none), batch after batch in row
// order: a consumer can look ahead within a batch (to prefetch, say).
//
// Once a second batch is due, stepping moves to a thread of its own: this thread then only
// takes the parsed batches back, so stepping never waits for the consumer.
template <typename Item, typename MakeParse, typename Consume>
bool for_each_parsed_row(const std::filesystem::path& path, std::string_view label, std::string_view sql, bool debug,
                         std::span<const Column> columns, std::size_t workers, MakeParse make_parse, Consume consume) {
  struct Batch {
    detail::Rows rows;
    KeptTexts texts;
    std::vector<std::optional<Item>> items;
    bool done = false;

    void clear() {
      rows.clear();
      texts.clear();
      items.clear();
      done = false;
    }
  };
  using Parse = decltype(make_parse());
  struct Worker {
    std::optional<Parse> parse;
    std::vector<std::string> lossy;
  };
  std::vector<Worker> state(workers > 0 ? workers : 1);
  auto parse_batch = [&](Batch& b, std::size_t worker) {
    Worker& w = state[worker];
    if (!w.parse) w.parse.emplace(make_parse());
    w.lossy.resize(columns.size());
    CopiedRow row(b.rows, columns.size(), w.lossy);
    b.items.resize(b.rows.count);
    for (std::size_t r = 0; r < b.rows.count; ++r) {
      row.at(r);
      b.items[r] = (*w.parse)(row, b.texts);
    }
  };
  auto take = [&](Batch& b) { consume(std::span<const std::optional<Item>>(b.items), b.texts); };
  auto fill = [&](Statement& stmt, Batch& b) { return detail::fill(stmt, b.rows, columns, path, label, debug); };

  auto query = open_query(path, label, sql, debug);
  if (!query) return false;
  auto first = std::make_unique<Batch>();
  bool more = fill(query->stmt, *first);
  // One thread does it all: under a single worker, for less than a batch, or when the
  // system gives no thread.
  auto serially = [&] {
    for (;;) {
      parse_batch(*first, 0);
      take(*first);
      if (!more) return true;
      first->clear();
      more = fill(query->stmt, *first);
    }
  };
  if (!more || workers < 2) return serially();
  detail::Pool pool(workers - 1);
  if (pool.threads() == 0) return serially();

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Batch*> flight;  // in row order, each handed to the pool
  std::vector<std::unique_ptr<Batch>> owned;
  std::vector<Batch*> spare;
  bool stepping = true;
  const std::size_t limit = 2 * (pool.threads() + 1);
  auto step_all = [&] {
    Batch* b = first.get();
    for (bool more_rows = true;;) {
      {
        std::lock_guard lock(mutex);
        flight.push_back(b);
      }
      pool.submit([&parse_batch, b](std::size_t worker) { parse_batch(*b, worker); }, &b->done);
      cv.notify_all();
      if (!more_rows) break;
      {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return flight.size() < limit; });
        if (spare.empty()) {
          owned.push_back(std::make_unique<Batch>());
          spare.push_back(owned.back().get());
        }
        b = spare.back();
        spare.pop_back();
      }
      more_rows = fill(query->stmt, *b);
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
    take(*b);
    b->clear();
    {
      std::lock_guard lock(mutex);
      flight.pop_front();
      spare.push_back(b);
    }
    cv.notify_all();
  }
  for (auto& t : stepper) t.join();
  return true;
}

}  // namespace qm::reader
