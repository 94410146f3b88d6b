#pragma once
// The Qwen reader: one JSON Lines chat log per conversation below projects/<project>/chats/
// of its data directories; each assistant line carries the token counts of one model reply.
// Priced with a table of its own.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/all/types.h"
#include "json/dom_fwd.h"
#include "jsonl_reader.h"
#include "parallel.h"
#include "pricing/table.h"
#include "reader/file_parts.h"
#include "reader/file_usage.h"
#include "reader/line_worker.h"
#include "reader/seen.h"

namespace qm::qwen::parser {

struct QwenChatUsage {
  std::string timestamp_text;
  std::string session_id;
  std::string model;
  std::string project;
  std::int64_t timestamp = 0;
  std::uint64_t input = 0;  // without the cached tokens when the reported total says it held them
  std::uint64_t output = 0;
  std::uint64_t cache_read = 0;
  std::uint64_t reasoning = 0;

  bool operator==(const QwenChatUsage&) const = default;
};

// Loads its own price table (none under the display mode), then reads: the shared one is not
// used.
AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& shared);
// The reading itself, priced from `table` (none: nothing priced), a large file cut into parts
// of `sizes`.
AgentLoadResult load_qwen_usage(const all::loader::LoadOptions& options, const pricing::PricingTable* table,
                                const parallel::PartSizes& sizes = {});

// The chat files of every data directory, in path order; what cannot be listed goes to `unread`.
std::vector<std::filesystem::path> find_chat_files(UnreadFiles& unread);
// <project>/chats/<name>.jsonl, exactly, below the projects directory.
bool is_chat_file(const std::filesystem::path& projects, const std::filesystem::path& path);
std::vector<std::string> price_candidates(std::string_view model);

// The usage lines of one chat file's bytes (followed by the parser's padding), every line
// parsed; lines that are not UTF-8 are passed over.
std::vector<QwenChatUsage> parse_file(const std::filesystem::path& path, std::string_view text, std::int64_t file_time,
                                      json::StrictParser& parser);

// A reply of a chat file, each but the first of equal ones dropped: its counts, time, model
// and session, and its key (the number of its session, time text, model and counts in the
// file's keys).
struct Reply : reader::Item {
  std::uint32_t model = 0;  // of the file's models
  std::uint32_t session = 0;  // of the file's sessions
  std::uint32_t key = 0;
};
struct ChatFile : reader::KeyedItems<Reply> {
  reader::Names models;
  reader::Names sessions;
};

// Appends the replies of the next part of the same file but those equal to one before them;
// the part is left empty.
void append_part(ChatFile& whole, ChatFile&& part);
// A file's parts put together (reader/file_parts.h).
using ChatJoin = reader::AppendJoin<ChatFile, append_part>;

// One worker's reader of chat files: lines that cannot hold a reply are not parsed.
class ChatReader : public reader::LineWorker<ChatReader> {
 public:
  using LineWorker::LineWorker;
  using LineWorker::read;
  // The replies of a file, or of one part of it. The error is the system's text when the
  // file cannot be opened or read.
  std::expected<ChatFile, std::string> read(const std::filesystem::path& path, const jsonl::FilePart& part,
                                            std::int64_t file_time);

 private:
  reader::KeyBytes key_;
};

}  // namespace qm::qwen::parser
