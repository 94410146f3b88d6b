#pragma once
// The model a Droid transcript announces, read line by line: only its first 500 lines are
// looked at, however large the file, and a byte that is not UTF-8 costs only its line.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qm::droid {

// Takes a transcript in pieces cut anywhere and holds at most the "Model:" text of one line.
class TranscriptScan {
 public:
  // False once the answer is known (a model, or 500 lines seen): what follows is not needed.
  bool feed(std::string_view bytes);
  // The model after the last piece: the first of the first 500 lines (a carriage return
  // before the line feed dropped) that is UTF-8 and whose text after "Model:", up to "[",
  // a double quote or a backslash, normalises to a name.
  std::optional<std::string> finish();

 private:
  void piece(std::string_view bytes);  // of the current line, no line feed in it
  void check_utf8(std::string_view bytes);
  void capture(std::string_view bytes);
  void end_line();

  std::optional<std::string> model_;
  std::size_t lines_ = 0;
  std::string tail_;      // the line's last bytes while "Model:" is not found: it may span pieces
  std::string pending_;   // the start of a character that the piece cut
  std::string text_;      // after "Model:"
  bool found_ = false;    // "Model:" is in the line
  bool closed_ = false;   // the text ended at "[", a quote or a backslash
  bool too_long_ = false;
  bool utf8_ = true;
  bool started_ = false;  // the line has a byte: a last line without a line feed counts
};

// The model of a transcript's text, as TranscriptScan finds it.
std::optional<std::string> transcript_model(std::string_view text);

// The transcript's model; none when the file is no regular one (a FIFO is never waited on),
// cannot be read, or announces none.
std::optional<std::string> transcript_model_of(const std::filesystem::path& path);

}  // namespace qm::droid
