#pragma once
// Reading many files on worker threads, each worker with its own reusable state; a large file
// is cut into parts that several workers read at once.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include "file_order.h"
#include "jsonl_reader.h"
#include "worker_budget.h"

namespace qm::parallel {

// Processors this process may run on (its affinity mask); 1 when that cannot be had.
std::size_t available_processors();

// Runs drain() on this thread and on up to `workers` - 1 helpers, as the worker budget gives
// them (now or, while drain runs, as slots come free), and waits for all of them. With no
// helper at all this thread does the work alone. The drain takes task after task by `next`
// until it reaches `count`; slots that come free later go only where tasks are left.
template <typename Drain>
void run_drain(std::size_t workers, Drain& drain, const std::atomic<std::size_t>& next, std::size_t count) {
  if (workers < 2) {
    drain();
    return;
  }
  HelpedDrain helped([&drain] { drain(); }, workers - 1,
                     [&next, count] { return next.load(std::memory_order_relaxed) < count; });
  drain();
}

// The worker count for a list of files: the smaller of files and processors, 1 under
// single-thread.
std::size_t worker_count(std::size_t files, bool single_thread);

// Calls a worker on every file and returns the results in file order. With two or more
// workers the files go largest first, each to the next worker that is free (so a worker
// that the system holds up holds up little); each worker thread calls make_worker() once and
// reuses what it returns (`w(path) -> R`) for all of its files. The result does not depend
// on the number of workers.
template <typename R, typename MakeWorker>
std::vector<R> map_files(const std::vector<std::filesystem::path>& files, std::size_t workers, MakeWorker make_worker) {
  std::vector<R> results(files.size());
  if (workers < 2) {
    auto w = make_worker();
    for (std::size_t i = 0; i < files.size(); ++i) results[i] = w(files[i]);
    return results;
  }
  const auto order = file_order::largest_files_first(files);
  std::atomic<std::size_t> next = 0;
  auto drain = [&] {
    auto w = make_worker();
    // Each file index is taken once, so the slots need no lock.
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < order.size();)
      results[order[i]] = w(files[order[i]]);
  };
  run_drain(workers, drain, next, order.size());
  return results;
}

// Calls task(i) once for every i below `count`, on at most `workers` threads (on this
// thread when fewer than two); the next free thread takes the next index.
template <typename Task>
void run_tasks(std::size_t count, std::size_t workers, Task task) {
  if (count < workers) workers = count;
  if (workers < 2) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }
  std::atomic<std::size_t> next = 0;
  auto drain = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) task(i);
  };
  run_drain(workers, drain, next, count);
}

// Which files map_file_parts cuts, and into what.
struct PartSizes {
  std::uint64_t cut_above = 24u << 20;  // files of more bytes than this are cut...
  std::uint64_t part = 8u << 20;        // ...into parts of about this many
};

// One unit of map_file_parts's work: a file whole, or one part of it.
struct FileTask {
  std::size_t file = 0;
  jsonl::FilePart part;
  std::uint64_t bytes = 0;  // its length, by which the tasks are ordered
};

// The files cut into parts, open while their parts are read.
class OpenFiles {
 public:
  OpenFiles() = default;
  OpenFiles(const OpenFiles&) = delete;
  OpenFiles& operator=(const OpenFiles&) = delete;
  ~OpenFiles();
  int add(int fd) { return fds_.emplace_back(fd); }

 private:
  std::vector<int> fds_;
};

// The tasks for `workers` workers, largest first (equal lengths in file order, then part
// order): every file whole, but, with two workers or more, the regular files of more than
// sizes.cut_above bytes, which are opened (into `open`) and cut (jsonl::cut_file). A file
// that cannot be opened here stays whole, so that its reader meets the error.
std::vector<FileTask> plan_file_tasks(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                      const PartSizes& sizes, OpenFiles& open);

// Calls a worker on every file, or on every part of a file that plan_file_tasks cuts, and
// returns the results per file in file order, each file's in part order (one result for a
// file read whole). Each worker thread calls make_worker() once and reuses what it returns
// (`w(file index, part) -> R`) for all of its tasks; the next free worker takes the next
// task. With fewer than two workers every file is read whole, in file order, on this thread.
// The files cut stay open in `open`, for whatever the caller reads of them afterwards.
template <typename R, typename MakeWorker>
std::vector<std::vector<R>> map_file_parts(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                           const PartSizes& sizes, OpenFiles& open, MakeWorker make_worker) {
  std::vector<std::vector<R>> results(files.size());
  if (workers < 2) {
    auto w = make_worker();
    for (std::size_t i = 0; i < files.size(); ++i) results[i].push_back(w(i, jsonl::FilePart{}));
    return results;
  }
  const auto tasks = plan_file_tasks(files, workers, sizes, open);
  for (const auto& t : tasks) results[t.file].resize(t.part.count);
  std::atomic<std::size_t> next = 0;
  auto drain = [&] {
    auto w = make_worker();
    // Each task is taken once, so the slots need no lock.
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < tasks.size();)
      results[tasks[i].file][tasks[i].part.index] = w(tasks[i].file, tasks[i].part);
  };
  run_drain(tasks.size() < workers ? tasks.size() : workers, drain, next, tasks.size());
  return results;
}

template <typename R, typename MakeWorker>
std::vector<std::vector<R>> map_file_parts(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                           const PartSizes& sizes, MakeWorker make_worker) {
  OpenFiles open;
  return map_file_parts<R>(files, workers, sizes, open, std::move(make_worker));
}

}  // namespace qm::parallel
