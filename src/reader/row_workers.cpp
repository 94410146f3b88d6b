#include "reader/row_workers.h"

#include <algorithm>
#include <limits>

#include "json/dom_fwd.h"
#include "parallel.h"
#include "util.h"

namespace qm::reader {
namespace detail {

namespace {
constexpr std::size_t kBatchRows = 2048;
constexpr std::size_t kBatchBytes = 1 << 20;
}  // namespace

void Rows::capture(const Row& row, std::span<const Column> columns) {
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const int column = static_cast<int>(c);
    Cell& cell = cells.emplace_back();
    if (columns[c] == Column::Text) {
      const auto text = row.bytes(column);
      cell.null = !text;
      if (!text) continue;
      cell.offset = static_cast<std::uint32_t>(bytes.size());
      cell.size = static_cast<std::uint32_t>(text->size());
      bytes.append(*text);
      bytes.append(json::kPadding, '\0');
      continue;
    }
    cell.null = row.is_null(column);
    if (cell.null) continue;
    if (columns[c] == Column::Integer)
      cell.integer = row.int64(column);
    else
      cell.real = row.real(column);
  }
  ++count;
}

Fill fill(Statement& stmt, Rows& rows, std::span<const Column> columns) {
  for (;;) {
    switch (stmt.step()) {
      case Statement::Step::Row:
        rows.capture(stmt.row(), columns);
        if (rows.full()) return Fill::Full;
        continue;
      case Statement::Step::Failed: return Fill::Failed;
      case Statement::Step::Done: return Fill::Done;
    }
  }
}

bool Rows::full() const { return count >= kBatchRows || bytes.size() >= kBatchBytes; }

void Rows::clear() {
  cells.clear();
  bytes.clear();
  count = 0;
}

Pool::Pool(std::size_t threads) {
  for (std::size_t i = 1; i <= threads; ++i)
    if (!parallel::start_thread(threads_, [this, i] { work(i); })) break;
}

Pool::~Pool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  jobs_.notify_all();
  for (auto& t : threads_) t.join();
}

void Pool::submit(std::function<void(std::size_t)> job, bool* done) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Job{std::move(job), done});
  }
  // One thread takes the job; a caller in wait() may take it too.
  jobs_.notify_one();
  finished_.notify_all();
}

void Pool::run_first(std::unique_lock<std::mutex>& lock, std::size_t worker) {
  Job job = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  job.run(worker);
  lock.lock();
  *job.done = true;
  finished_.notify_all();
}

void Pool::work(std::size_t worker) {
  std::unique_lock lock(mutex_);
  for (;;) {
    jobs_.wait(lock, [&] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    run_first(lock, worker);
  }
}

void Pool::wait(const bool* done) {
  std::unique_lock lock(mutex_);
  while (!*done) {
    if (queue_.empty())
      finished_.wait(lock);
    else
      run_first(lock, 0);
  }
}

}  // namespace detail

std::uint32_t KeptTexts::keep_name(std::string_view name) {
  // A batch names a few models; past this many every further one is kept anew, unsought.
  constexpr std::size_t kSought = 32;
  const std::size_t sought = std::min(names_.size(), kSought);
  for (std::size_t n = 0; n < sought; ++n)
    if ((*this)[names_[n]] == name) return static_cast<std::uint32_t>(n);
  names_.push_back(keep(name));
  return static_cast<std::uint32_t>(names_.size() - 1);
}

TextRef KeptTexts::keep(std::string_view text) {
  TextRef ref{static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(text.size())};
  bytes_.append(text);
  return ref;
}

std::optional<std::string_view> RowView::bytes(int column) const {
  if (live_) return live_->bytes(column);
  const detail::Cell& c = cell(column);
  if (c.null) return std::nullopt;
  return std::string_view(rows_->bytes.data() + c.offset, c.size);
}

std::string_view RowView::padded(int column, std::string_view bytes) const {
  if (!live_) return bytes;  // a copied row's texts are padded
  std::string& copy = (*scratch_)[static_cast<std::size_t>(column)];
  copy.assign(bytes);
  copy.append(json::kPadding, '\0');
  return std::string_view(copy.data(), bytes.size());
}

std::optional<std::string_view> RowView::text(int column) const {
  if (live_) return live_->text(column);
  const auto raw_bytes = bytes(column);
  if (!raw_bytes) return std::nullopt;
  const std::string_view raw = *raw_bytes;
  if (util::is_valid_utf8(raw)) return raw;
  std::string& lossy = (*scratch_)[static_cast<std::size_t>(column)];
  lossy = util::utf8_lossy(raw);
  return lossy;
}

namespace detail {

namespace {
constexpr std::size_t kMostSpans = 1u << 20;  // sparser rowids are read on one connection
constexpr std::size_t kMostConnections = 8;

// Begins a read transaction and reads the table's first and last rowid.
std::optional<std::pair<std::int64_t, std::int64_t>> begin_with_bounds(Database& db, std::string_view bounds) {
  if (!db.exec("BEGIN")) return std::nullopt;
  auto stmt = db.prepare(bounds);
  if (!stmt || stmt->step() != Statement::Step::Row || stmt->row().is_null(0) || stmt->row().is_null(1))
    return std::nullopt;
  return std::pair{stmt->row().int64(0), stmt->row().int64(1)};
}
}  // namespace

std::pair<std::int64_t, std::int64_t> Spans::at(std::size_t span) const {
  // Unsigned sums wrap where the rowids cross zero; the results are back in range.
  const std::uint64_t low = static_cast<std::uint64_t>(first) + span * width;
  if (span + 1 == count) return {static_cast<std::int64_t>(low), last};
  return {static_cast<std::int64_t>(low), static_cast<std::int64_t>(low + width - 1)};
}

std::optional<SpanStart> begin_spans(Database& first, const ReadPlan& plan, const RowidSpans& query,
                                     std::size_t connections) {
  if (query.width == 0) return std::nullopt;
  // The watch looks before the first connection begins.
  std::optional<CommitWatch> watch;
  if (!plan.immutable() && first.write_ahead()) {
    auto db = Database::open(plan, false);
    if (!db) return std::nullopt;
    const auto version = db->data_version();
    if (!version) return std::nullopt;
    watch = CommitWatch{std::move(*db), *version};
  }
  const auto bounds = begin_with_bounds(first, query.bounds);
  if (!bounds) return std::nullopt;
  // A database that went over to a write-ahead log meanwhile has no watch.
  if (!watch && !plan.immutable() && first.write_ahead()) return std::nullopt;
  const std::uint64_t rowids = static_cast<std::uint64_t>(bounds->second) - static_cast<std::uint64_t>(bounds->first);
  if (rowids / query.width >= kMostSpans) return std::nullopt;
  const Spans spans{bounds->first, bounds->second, query.width, static_cast<std::size_t>(rowids / query.width) + 1};
  if (spans.count < 2 * connections) return std::nullopt;
  auto stmt = first.prepare(query.ranged);
  if (!stmt) return std::nullopt;
  return SpanStart{spans, SpanReader{std::nullopt, std::move(*stmt)}, std::move(watch)};
}

std::optional<SpanReader> join_spans(const ReadPlan& plan, const RowidSpans& query, const Spans& spans) {
  // No busy wait: a writer waiting for the first connection's lock would wait for this one.
  auto db = Database::open(plan, false);
  if (!db) return std::nullopt;
  db->scan_only();
  if (begin_with_bounds(*db, query.bounds) != std::pair{spans.first, spans.last}) return std::nullopt;
  auto stmt = db->prepare(query.ranged);
  if (!stmt) return std::nullopt;
  return SpanReader{std::move(*db), std::move(*stmt)};
}

std::size_t span_connections(std::size_t workers) {
  // Beyond three, a quarter of the processors stays for the consumer and whatever else runs:
  // steppers wait for nothing but a processor, so more of them only queue for one.
  const std::size_t steppers = workers <= 3 ? workers : workers - workers / 4;
  return std::min(kMostConnections, std::max<std::size_t>(2, steppers));
}

}  // namespace detail

std::size_t row_workers(bool single_thread) { return single_thread ? 1 : parallel::available_processors(); }

}  // namespace qm::reader
