#include "kit/fake_security.h"

#include <sys/stat.h>

#include <sstream>

namespace qm::kit {
namespace {

std::vector<std::string> lines_of(const std::filesystem::path& path) {
  std::vector<std::string> out;
  if (!std::filesystem::exists(path)) return out;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Splits each line read under -i into words as the tool does: blanks part words, double
// quotes group, and a backslash takes the next character as it is, within quotes or not. A
// line with an open quote or a trailing backslash is refused, and the run fails.
constexpr const char* kSplitLines = R"(
BEGIN { sep = "\037" }
{
  print >> added
  line = $0; n = length(line); out = ""; word = ""; words = 0; inword = 0; quoted = 0; bad = 0
  for (i = 1; i <= n; i++) {
    c = substr(line, i, 1)
    if (c == "\\") {
      if (i == n) { bad = 1; break }
      i++; word = word substr(line, i, 1); inword = 1
    } else if (c == "\"") {
      quoted = !quoted; inword = 1
    } else if (!quoted && (c == " " || c == "\t")) {
      if (inword) { out = out (words++ ? sep : "") word; word = ""; inword = 0 }
    } else {
      word = word c; inword = 1
    }
  }
  if (quoted) bad = 1
  if (bad) { failed = 1; next }
  if (inword) out = out (words++ ? sep : "") word
  print out >> parsed
}
END { exit failed }
)";

}  // namespace

FakeSecurity::FakeSecurity() : bin_(dir_ / "bin") {
  const std::string d = dir_.path().string();
  write_file(dir_ / "split.awk", kSplitLines);
  write_file(bin_ / "security",
             "#!/bin/sh\n"
             "PATH=/usr/bin:/bin\n"
             "d='" + d + "'\n"
             "printf '%s\\n' \"$*\" >> \"$d/calls\"\n"
             "if [ \"$1\" = -i ]; then\n"
             "  LC_ALL=C awk -v added=\"$d/added\" -v parsed=\"$d/added-words\" -f \"$d/split.awk\" || exit 1\n"
             "  exit \"$(cat \"$d/add-status\" 2>/dev/null || echo 0)\"\n"
             "fi\n"
             "[ \"$1\" = find-generic-password ] || exit 2\n"
             "for a in \"$@\"; do\n"
             "  if [ \"$a\" = -w ]; then\n"
             "    n=$(( $(cat \"$d/lookups\" 2>/dev/null || echo 0) + 1 )); echo $n > \"$d/lookups\"\n"
             "    if [ -f \"$d/missing.$n\" ]; then exit 44; fi\n"
             "    if [ -f \"$d/password.$n\" ]; then cat \"$d/password.$n\"; exit 0; fi\n"
             "    [ -f \"$d/password\" ] || exit 44\n"
             "    cat \"$d/password\"; exit 0\n"
             "  fi\n"
             "done\n"
             "[ -f \"$d/attributes\" ] || exit 44\n"
             "cat \"$d/attributes\"\n");
  ::chmod((bin_ / "security").c_str(), 0755);
}

void FakeSecurity::set_password(const std::optional<std::string>& password) {
  if (password) write_file(dir_ / "password", *password);
  else std::filesystem::remove(dir_ / "password");
}

void FakeSecurity::set_password_for_call(int n, const std::optional<std::string>& password) {
  if (password) write_file(dir_ / ("password." + std::to_string(n)), *password);
  else write_file(dir_ / ("missing." + std::to_string(n)), "");
}

void FakeSecurity::set_attributes(const std::string& listing) { write_file(dir_ / "attributes", listing); }
void FakeSecurity::set_add_status(int status) { write_file(dir_ / "add-status", std::to_string(status)); }
std::vector<std::string> FakeSecurity::calls() const { return lines_of(dir_ / "calls"); }
std::vector<std::string> FakeSecurity::added_lines() const { return lines_of(dir_ / "added"); }

std::vector<std::vector<std::string>> FakeSecurity::added_commands() const {
  std::vector<std::vector<std::string>> out;
  for (const auto& line : lines_of(dir_ / "added-words")) {
    auto& words = out.emplace_back();
    std::size_t start = 0;
    for (std::size_t sep; (sep = line.find('\x1f', start)) != std::string::npos; start = sep + 1)
      words.push_back(line.substr(start, sep - start));
    words.push_back(line.substr(start));
  }
  return out;
}

std::optional<std::string> added_password(const std::string& line) {
  auto start = line.find("-X \"");
  if (start == std::string::npos || !line.ends_with('"')) return std::nullopt;
  std::string hex = line.substr(start + 4, line.size() - start - 5);
  if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string keychain_listing(const std::string& account) {
  return "keychain: \"/Users/u/Library/Keychains/login.keychain-db\"\n"
         "class: \"genp\"\n"
         "attributes:\n"
         "    0x00000007 <blob>=\"Claude Code-credentials\"\n"
         "    \"acct\"<blob>=\"" + account + "\"\n"
         "    \"svce\"<blob>=\"Claude Code-credentials\"\n";
}

}  // namespace qm::kit
