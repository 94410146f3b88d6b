#include "reader/file_parts.h"

#include <sys/stat.h>

#include "util.h"
#include "util_files.h"

namespace qm::reader {

std::vector<jsonl::FilePart> cut_in_parts(const fs::path& file, std::uint64_t part_size, parallel::OpenFiles& open) {
  auto fd = util::open_regular(file);
  if (!fd) return {jsonl::FilePart{}};
  open.add(*fd);
  struct stat st;
  return jsonl::cut_file(*fd, ::fstat(*fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0, part_size);
}

}  // namespace qm::reader
