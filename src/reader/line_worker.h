#pragma once
// What one worker of a JSON Lines reader keeps from file to file: the line reader's buffer and
// the parser, so that no line allocates. `Self` reads a part of a file with
// `read(path, part, file_time)`; `using LineWorker::read;` adds the read of a whole file.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "json/parser.h"
#include "jsonl_reader.h"

namespace qm::reader {

template <typename Self>
class LineWorker {
 public:
  explicit LineWorker(std::size_t chunk = 1 << 18) : lines_(chunk) {}

  auto read(const std::filesystem::path& path, std::int64_t file_time) {
    return static_cast<Self&>(*this).read(path, jsonl::FilePart{}, file_time);
  }

 protected:
  jsonl::LineReader lines_;
  json::StrictParser parser_;
};

}  // namespace qm::reader
