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

// Threads that run queued jobs; the thread that waits runs them too.
class Pool {
 public:
  explicit Pool(std::size_t threads);  // fewer when the system gives fewer
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  std::size_t threads() const { return threads_.size(); }

  // job(worker) runs on a thread (worker 1, 2 ...) or on a waiting caller (worker 0); `done`
  // is set, under the pool's lock, when it returns.
  void submit(std::function<void(std::size_t)> job, bool* done);
  // Returns once *done holds, running queued jobs on this thread meanwhile.
  void wait(const bool* done);
  bool finished(const bool* done);

 private:
  struct Job {
    std::function<void(std::size_t)> run;
    bool* done;
  };
  void work(std::size_t worker);

  std::mutex mutex_;
  std::condition_variable cv_;
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
template <typename Item, typename MakeParse, typename Consume>
bool for_each_parsed_row(const std::filesystem::path& path, std::string_view label, std::string_view sql, bool debug,
                         std::span<const Column> columns, std::size_t workers, MakeParse make_parse, Consume consume) {
  struct Batch {
    detail::Rows rows;
    KeptTexts texts;
    std::vector<std::optional<Item>> items;
    bool done = false;
  };
  using Parse = decltype(make_parse());
  struct Worker {
    std::optional<Parse> parse;
    std::vector<std::string> lossy;
  };
  std::unique_ptr<detail::Pool> pool;  // started when a second batch is due
  std::vector<Worker> state(workers > 0 ? workers : 1);
  std::deque<std::unique_ptr<Batch>> flight;  // in row order
  std::vector<std::unique_ptr<Batch>> spare;

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
  auto consume_first = [&] {
    std::unique_ptr<Batch> b = std::move(flight.front());
    flight.pop_front();
    consume(std::span<const std::optional<Item>>(b->items), b->texts);
    b->rows.clear();
    b->texts.clear();
    b->items.clear();
    b->done = false;
    spare.push_back(std::move(b));
  };
  auto fresh = [&] {
    if (spare.empty()) return std::make_unique<Batch>();
    auto b = std::move(spare.back());
    spare.pop_back();
    return b;
  };
  auto submit = [&](std::unique_ptr<Batch> b, bool last) {
    if (!pool && !last && workers > 1) pool = std::make_unique<detail::Pool>(workers - 1);
    if (!pool || pool->threads() == 0) {
      parse_batch(*b, 0);
      flight.push_back(std::move(b));
      consume_first();
      return;
    }
    Batch* p = b.get();
    flight.push_back(std::move(b));
    pool->submit([&parse_batch, p](std::size_t worker) { parse_batch(*p, worker); }, &p->done);
    const std::size_t limit = 2 * (pool->threads() + 1);
    while (!flight.empty() && (flight.size() > limit || last || pool->finished(&flight.front()->done))) {
      pool->wait(&flight.front()->done);
      consume_first();
    }
  };

  auto query = open_query(path, label, sql, debug);
  if (!query) return false;
  auto batch = fresh();
  for (bool more = true; more;) {
    switch (query->stmt.step()) {
      case Statement::Step::Row:
        batch->rows.capture(query->stmt.row(), columns);
        if (batch->rows.full()) {
          submit(std::move(batch), false);
          batch = fresh();
        }
        continue;
      case Statement::Step::Failed: say_query_failed(path, label, debug); [[fallthrough]];
      case Statement::Step::Done: more = false;
    }
  }
  submit(std::move(batch), true);
  return true;
}

}  // namespace qm::reader
