#include "kit/sqlite_writer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "kit/env.h"

namespace qm::kit {

namespace fs = std::filesystem;

namespace {

bool write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int run(sqlite3* db, const std::string& sql) {
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

[[noreturn]] void serve(const fs::path& path, int in, int out) {
  sqlite3_reset_auto_extension();  // the parent's hooks are not the writer's
  sqlite3* kept = nullptr;
  for (;;) {
    char kind = 0;
    std::uint32_t size = 0;
    if (!read_all(in, &kind, 1) || kind == 'q' || !read_all(in, &size, sizeof size)) break;
    std::string sql(size, '\0');
    if (!read_all(in, sql.data(), size)) break;
    int rc = SQLITE_OK;
    if (kind == 'e') {
      if (!kept) rc = sqlite3_open_v2(path.c_str(), &kept, SQLITE_OPEN_READWRITE, nullptr);
      if (rc == SQLITE_OK) rc = run(kept, sql);
    } else {
      sqlite3* db = nullptr;
      rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
      sqlite3_busy_timeout(db, 2000);
      if (rc == SQLITE_OK) rc = run(db, sql);
      sqlite3_close(db);
    }
    if (!write_all(out, &rc, sizeof rc)) break;
  }
  sqlite3_close(kept);
  ::_exit(0);
}

std::function<void(std::string_view)>* g_on_open = nullptr;

int on_open(sqlite3* db, char**, const sqlite3_api_routines*) {
  if (g_on_open) {
    const char* name = sqlite3_db_filename(db, "main");
    (*g_on_open)(name ? name : "");
  }
  return SQLITE_OK;
}

void set_type_byte(const fs::path& db, std::uint32_t page, std::string* before) {
  const std::uint32_t size = page_size(db);
  std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
  const std::streamoff at = static_cast<std::streamoff>(page - 1) * size;
  if (before) {
    before->assign(size, '\0');
    f.seekg(at);
    f.read(before->data(), size);
  }
  // The b-tree header follows the file header on page 1; byte 0 is the page type.
  f.seekp(at + (page == 1 ? 100 : 0));
  f.put('\xFF');
  ASSERT_TRUE(f.good()) << db;
}

std::uint32_t header_u32(const fs::path& db, std::size_t at) {
  const std::string bytes = read_file(db).substr(0, 100);
  std::uint32_t v = 0;
  for (std::size_t i = at; i < at + 4 && i < bytes.size(); ++i) v = v << 8 | static_cast<unsigned char>(bytes[i]);
  return v;
}

}  // namespace

WriterProcess::WriterProcess(fs::path db) {
  int down[2], up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(down[1]);
    ::close(up[0]);
    serve(db, down[0], up[1]);
  }
  ::close(down[0]);
  ::close(up[1]);
  to_child_ = down[1];
  from_child_ = up[0];
  EXPECT_GT(pid_, 0) << "fork";
}

WriterProcess::~WriterProcess() {
  if (to_child_ >= 0) {
    const char quit = 'q';
    write_all(to_child_, &quit, 1);
    ::close(to_child_);
  }
  if (from_child_ >= 0) ::close(from_child_);
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

int WriterProcess::request(char kind, std::string_view sql) {
  std::lock_guard lock(mutex_);
  const auto size = static_cast<std::uint32_t>(sql.size());
  int rc = -1;
  if (!write_all(to_child_, &kind, 1) || !write_all(to_child_, &size, sizeof size) ||
      !write_all(to_child_, sql.data(), sql.size()) || !read_all(from_child_, &rc, sizeof rc))
    ADD_FAILURE() << "the writer process is gone";
  return rc;
}

int WriterProcess::exec(std::string_view sql) { return request('e', sql); }
int WriterProcess::session(std::string_view sql) { return request('s', sql); }

OpenHook::OpenHook(std::function<void(std::string_view)> on_open_fn) {
  EXPECT_EQ(g_on_open, nullptr) << "one hook at a time";
  g_on_open = new std::function<void(std::string_view)>(std::move(on_open_fn));
  EXPECT_EQ(sqlite3_auto_extension(reinterpret_cast<void (*)()>(&on_open)), SQLITE_OK);
}

OpenHook::~OpenHook() {
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&on_open));
  delete g_on_open;
  g_on_open = nullptr;
}

std::uint32_t page_size(const fs::path& db) {
  const std::uint32_t v = header_u32(db, 16) >> 16;  // two bytes; 1 means 65536
  return v == 1 ? 65536 : v;
}

std::uint32_t page_count(const fs::path& db) { return static_cast<std::uint32_t>(fs::file_size(db) / page_size(db)); }

std::string corrupt_page(const fs::path& db, std::uint32_t page) {
  std::string before;
  set_type_byte(db, page, &before);
  return before;
}

std::string corrupt_page_holding(const fs::path& db, std::string_view marker) {
  const auto at = read_file(db).find(marker);
  EXPECT_NE(at, std::string::npos) << marker;
  if (at == std::string::npos) return {};
  return corrupt_page(db, static_cast<std::uint32_t>(at / page_size(db)) + 1);
}

void restore_page(const fs::path& db, std::uint32_t page, const std::string& bytes) {
  std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(page - 1) * page_size(db));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << db;
}

}  // namespace qm::kit
