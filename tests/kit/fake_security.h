#pragma once
// A stand-in for the keychain tool: a shell script named "security" in a directory of its
// own, to be put first on PATH. It serves a stored password (find-generic-password -w) and
// an attribute listing (without -w; status 44 when none is set), records every argument
// list, and keeps each line it reads under -i both as read and split into words the way the
// tool splits its command lines (a line it cannot split fails the run).
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kit/env.h"

namespace qm::kit {

class FakeSecurity {
 public:
  FakeSecurity();

  // The directory holding the program, to be put on PATH; the program needs nothing else there.
  const std::filesystem::path& bin_dir() const { return bin_; }

  // None: the item does not exist (the lookup exits with status 44).
  void set_password(const std::optional<std::string>& password);
  // The answer to the n-th password lookup (1-based) alone; none fails that lookup.
  void set_password_for_call(int n, const std::optional<std::string>& password);
  void set_attributes(const std::string& listing);
  void set_add_status(int status);

  std::vector<std::string> calls() const;        // one per run: the arguments joined by blanks
  std::vector<std::string> added_lines() const;  // lines read under -i
  // The lines read under -i that could be split, as their words.
  std::vector<std::vector<std::string>> added_commands() const;

 private:
  TempDir dir_;
  std::filesystem::path bin_;
};

// The password of an "add-generic-password ... -X \"<hex>\"" line, decoded; none when the
// line holds no such hexadecimal text.
std::optional<std::string> added_password(const std::string& line);

// The attribute listing of an item whose account is `account`.
std::string keychain_listing(const std::string& account);

}  // namespace qm::kit
