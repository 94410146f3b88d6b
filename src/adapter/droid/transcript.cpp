#include "adapter/droid/transcript.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "adapter/droid/model.h"
#include "util.h"
#include "util_files.h"

namespace qm::droid {
namespace {

constexpr std::string_view kMarker = "Model:";
constexpr std::size_t kLines = 500;
// A model's name is short: a longer text names none, and holding it would have no bound.
constexpr std::size_t kMaxText = 64 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

// The length of the character that begins with this byte; 1 for a byte that begins none
// (the check refuses it then).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  return 1;
}

}  // namespace

bool TranscriptScan::feed(std::string_view bytes) {
  while (!model_ && lines_ < kLines) {
    const auto end = bytes.find('\n');
    if (end == std::string_view::npos) {
      piece(bytes);
      return true;
    }
    piece(bytes.substr(0, end));
    end_line();
    bytes.remove_prefix(end + 1);
  }
  return false;
}

std::optional<std::string> TranscriptScan::finish() {
  if (!model_ && lines_ < kLines && started_) end_line();
  return model_;
}

void TranscriptScan::piece(std::string_view bytes) {
  if (bytes.empty()) return;
  started_ = true;
  check_utf8(bytes);
  if (found_) return capture(bytes);
  constexpr std::size_t kKept = kMarker.size() - 1;  // a marker cut by a piece's end
  if (!tail_.empty()) {
    std::string joint = tail_;
    joint.append(bytes.substr(0, kKept));
    if (const auto at = joint.find(kMarker); at != std::string::npos) {
      found_ = true;
      return capture(bytes.substr(at + kMarker.size() - tail_.size()));
    }
  }
  if (const auto at = bytes.find(kMarker); at != std::string_view::npos) {
    found_ = true;
    return capture(bytes.substr(at + kMarker.size()));
  }
  tail_.append(bytes.substr(bytes.size() - std::min(bytes.size(), kKept)));
  if (tail_.size() > kKept) tail_.erase(0, tail_.size() - kKept);
}

void TranscriptScan::check_utf8(std::string_view bytes) {
  if (!utf8_) return;
  if (!pending_.empty()) {
    const std::size_t length = sequence_length(static_cast<unsigned char>(pending_[0]));
    const std::size_t take = std::min(length - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() < length) return;
    utf8_ = util::is_valid_utf8(pending_);
    pending_.clear();
    if (!utf8_) return;
  }
  // A character that the piece's end cuts waits for the rest.
  std::size_t whole = bytes.size();
  for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
    const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    if (sequence_length(c) > back) whole = bytes.size() - back;
    break;
  }
  utf8_ = util::is_valid_utf8(bytes.substr(0, whole));
  pending_.assign(bytes.substr(whole));
}

void TranscriptScan::capture(std::string_view bytes) {
  if (closed_ || too_long_) return;
  if (const auto stop = bytes.find_first_of("[\"\\"); stop != std::string_view::npos) {
    bytes = bytes.substr(0, stop);
    closed_ = true;
  }
  if (text_.size() + bytes.size() > kMaxText) {
    too_long_ = true;
    text_.clear();
    return;
  }
  text_.append(bytes);
}

void TranscriptScan::end_line() {
  if (found_ && utf8_ && pending_.empty() && !too_long_) {
    std::string_view text = text_;
    if (!closed_ && text.ends_with('\r')) text.remove_suffix(1);  // the line's own, before its line feed
    text = util::trim(text);
    if (!text.empty())
      if (std::string model = normalize_model_name(text); !model.empty()) model_ = std::move(model);
  }
  ++lines_;
  tail_.clear();
  pending_.clear();
  text_.clear();
  found_ = closed_ = too_long_ = started_ = false;
  utf8_ = true;
}

std::optional<std::string> transcript_model(std::string_view text) {
  TranscriptScan scan;
  scan.feed(text);
  return scan.finish();
}

std::optional<std::string> transcript_model_of(const std::filesystem::path& path) {
  auto fd = util::open_regular(path);
  if (!fd) return std::nullopt;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
  TranscriptScan scan;
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(*fd, buffer.get(), kChunk);
    if (n < 0 && errno == EINTR) continue;
    failed = n < 0;
    if (n <= 0 || !scan.feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)))) break;
  }
  ::close(*fd);
  if (failed) return std::nullopt;
  return scan.finish();
}

}  // namespace qm::droid
