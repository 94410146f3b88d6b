#pragma once
// Writing to a SQLite database while a test reads it, as another program would: POSIX locks
// belong to a process, so only a writer in a process of its own contends with the reader the
// way an agent does. And a hook on every connection this process opens, for the moments
// between a reader's connections.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace qm::kit {

class WriterProcess {
 public:
  // Starts the writer; make it before this process opens the database.
  explicit WriterProcess(std::filesystem::path db);
  ~WriterProcess();
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;

  // Runs statements on a connection the writer keeps open, without waiting for any lock:
  // SQLite's result code (SQLITE_BUSY while a reader keeps it out). A transaction that
  // fails is rolled back. Any thread may call.
  int exec(std::string_view sql);
  // Opens a connection, runs the statements and closes it, as an agent's short session does:
  // the last connection to close folds the log into the file and removes it, when no reader
  // holds the file's shared lock.
  int session(std::string_view sql);

 private:
  int request(char kind, std::string_view sql);
  pid_t pid_ = -1;
  int to_child_ = -1, from_child_ = -1;
  std::mutex mutex_;
};

// Calls on_open(main database file name) on the opening thread whenever this process opens a
// SQLite connection, for the life of the hook (one at a time).
class OpenHook {
 public:
  explicit OpenHook(std::function<void(std::string_view)> on_open);
  ~OpenHook();
  OpenHook(const OpenHook&) = delete;
  OpenHook& operator=(const OpenHook&) = delete;
};

// Makes the page that holds `marker` (the first place the bytes occur in the file) one that
// SQLite reads as corrupt; gives the page's bytes before, to put back with restore_page.
std::string corrupt_page_holding(const std::filesystem::path& db, std::string_view marker);
// Makes page `page` (from 1) read as corrupt; gives its bytes before.
std::string corrupt_page(const std::filesystem::path& db, std::uint32_t page);
void restore_page(const std::filesystem::path& db, std::uint32_t page, const std::string& bytes);
// The database's page size and number of pages, from its header.
std::uint32_t page_size(const std::filesystem::path& db);
std::uint32_t page_count(const std::filesystem::path& db);

}  // namespace qm::kit
