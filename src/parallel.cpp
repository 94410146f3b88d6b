#include "parallel.h"

#include <sched.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "util.h"
#include "util_files.h"

namespace qm::parallel {

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t worker_count(std::size_t files, bool single_thread) {
  if (single_thread) return 1;
  return std::min(files, available_processors());
}

OpenFiles::~OpenFiles() {
  for (int fd : fds_) ::close(fd);
}

std::vector<FileTask> plan_file_tasks(const std::vector<std::filesystem::path>& files, std::size_t workers,
                                      const PartSizes& sizes, OpenFiles& open) {
  std::vector<FileTask> tasks;
  tasks.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat st;
    const std::uint64_t size = ::stat(files[i].c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (workers >= 2 && size > sizes.cut_above && S_ISREG(st.st_mode)) {
      if (auto fd = util::open_regular(files[i])) {
        open.add(*fd);
        struct stat now;
        const std::uint64_t length = ::fstat(*fd, &now) == 0 ? static_cast<std::uint64_t>(now.st_size) : size;
        posix_fadvise(*fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        for (const auto& part : jsonl::cut_file(*fd, length, sizes.part)) {
          const std::uint64_t end = part.end == jsonl::FilePart::kToEnd ? length : part.end;
          tasks.push_back(FileTask{i, part, end - part.begin});
        }
        continue;
      }
    }
    tasks.push_back(FileTask{i, jsonl::FilePart{}, size});
  }
  std::stable_sort(tasks.begin(), tasks.end(), [](const FileTask& a, const FileTask& b) { return a.bytes > b.bytes; });
  return tasks;
}

}  // namespace qm::parallel
