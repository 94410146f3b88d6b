#include "util.h"
#include "util_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>

#include <simdjson.h>
#include <utf8proc.h>

namespace qm::util {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> home_dir() {
  auto set = [](const char* name) -> std::optional<std::string> {
    auto v = env(name);
    if (v && !v->empty()) return v;
    return std::nullopt;
  };
  if (auto h = set("HOME")) return h;
  if (auto h = set("USERPROFILE")) return h;
  auto drive = set("HOMEDRIVE");
  auto path = set("HOMEPATH");
  if (drive && path) return *drive + *path;
  return std::nullopt;
}

std::size_t space_at_front(std::string_view s) {
  if (s.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(s[0]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  auto is = [&](std::string_view seq) { return s.substr(0, seq.size()) == seq; };
  if (is("\xC2\x85") || is("\xC2\xA0")) return 2;
  if (is("\xE1\x9A\x80") || is("\xE2\x80\xA8") || is("\xE2\x80\xA9") || is("\xE2\x80\xAF") ||
      is("\xE2\x81\x9F") || is("\xE3\x80\x80"))
    return 3;
  if (s.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(s[1]) == 0x80 &&
      static_cast<unsigned char>(s[2]) >= 0x80 && static_cast<unsigned char>(s[2]) <= 0x8A)
    return 3;  // U+2000 to U+200A
  return 0;
}

namespace {
std::size_t space_at_back(std::string_view s) {
  for (std::size_t len : {1, 2, 3})
    if (s.size() >= len && space_at_front(s.substr(s.size() - len)) == len) return len;
  return 0;
}
}  // namespace

std::string_view trim(std::string_view text) {
  while (std::size_t n = space_at_front(text)) text.remove_prefix(n);
  while (std::size_t n = space_at_back(text)) text.remove_suffix(n);
  return text;
}

namespace {

// Characters with case (Lowercase, Uppercase or Titlecase): the letters, the ones with a
// case mapping, and the few symbols the Other_Lowercase and Other_Uppercase sets add.
bool is_cased(utf8proc_int32_t cp) {
  const auto category = utf8proc_category(cp);
  if (category == UTF8PROC_CATEGORY_LU || category == UTF8PROC_CATEGORY_LL || category == UTF8PROC_CATEGORY_LT)
    return true;
  if (utf8proc_tolower(cp) != cp || utf8proc_toupper(cp) != cp) return true;
  return cp == 0xAA || cp == 0xBA || (cp >= 0x1F130 && cp <= 0x1F149) || (cp >= 0x1F150 && cp <= 0x1F169) ||
         (cp >= 0x1F170 && cp <= 0x1F189);
}

// Marks, format characters, modifiers and the in-word punctuation that case rules look past.
bool is_case_ignorable(utf8proc_int32_t cp) {
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_SK: return true;
    default: break;
  }
  switch (cp) {
    case 0x27: case 0x2E: case 0x3A: case 0xB7: case 0x387: case 0x55F: case 0x5F4: case 0x2018: case 0x2019:
    case 0x2024: case 0x2027: case 0xFE13: case 0xFE52: case 0xFE55: case 0xFF07: case 0xFF0E: case 0xFF1A:
      return true;
    default: return false;
  }
}

// Whether, past the case-ignorable characters, the next character has case (-1: no character).
template <typename It>
bool cased_after_ignorable(It from, It to) {
  for (; from != to; ++from)
    if (*from < 0 || !is_case_ignorable(*from)) return *from >= 0 && is_cased(*from);
  return false;
}

void append_char(std::string& out, utf8proc_int32_t cp) {
  utf8proc_uint8_t buf[4];
  out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(utf8proc_encode_char(cp, buf)));
}

}  // namespace

std::string lowercase(std::string_view text) {
  // Characters, or -1 - byte for a byte that is no character (it stays as it is).
  std::vector<utf8proc_int32_t> chars;
  chars.reserve(text.size());
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {
      cp = -1 - static_cast<utf8proc_int32_t>(*p);
      n = 1;
    }
    chars.push_back(cp);
    p += n;
    left -= n;
  }
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const utf8proc_int32_t cp = chars[i];
    if (cp < 0) {
      out += static_cast<char>(-1 - cp);
    } else if (cp == 0x130) {  // the dotted capital I keeps its dot
      out += "i\xCC\x87";
    } else if (cp == 0x3A3) {  // capital sigma ends a word as the final form
      const bool final = cased_after_ignorable(chars.rbegin() + static_cast<std::ptrdiff_t>(chars.size() - i), chars.rend()) &&
                         !cased_after_ignorable(chars.begin() + static_cast<std::ptrdiff_t>(i + 1), chars.end());
      append_char(out, final ? 0x3C2 : 0x3C3);
    } else {
      append_char(out, utf8proc_tolower(cp));
    }
  }
  return out;
}

std::optional<std::string> EntrySplitter::next_nonempty_entry() {
  while (!done_) {
    auto comma = rest_.find(',');
    std::string_view piece = comma == std::string_view::npos ? rest_ : rest_.substr(0, comma);
    if (comma == std::string_view::npos)
      done_ = true;
    else
      rest_.remove_prefix(comma + 1);
    piece = trim(piece);
    if (!piece.empty()) return std::string(piece);
  }
  return std::nullopt;
}

std::vector<std::string> split_entries(std::string_view text) {
  std::vector<std::string> out;
  EntrySplitter s(text);
  while (auto e = s.next_nonempty_entry()) out.push_back(std::move(*e));
  return out;
}

std::optional<std::string> non_empty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

std::string capitalize_first(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool slice_contains(const std::vector<std::string>& list, std::string_view text) {
  for (const auto& s : list)
    if (s == text) return true;
  return false;
}

bool is_valid_utf8(std::string_view text) {
  // Short texts (ids, names, database columns) are nearly always ASCII, told by a plain look at
  // their bytes sooner than by the vector check's call; longer ones and the rest go to that check.
  constexpr std::size_t kShort = 64;
  if (text.size() <= kShort) {
    // Eight bytes at a time, the last word overlapping the one before it.
    const char* const p = text.data();
    const std::size_t n = text.size();
    std::uint64_t seen = 0;
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        seen |= w;
      }
      std::uint64_t w;
      std::memcpy(&w, p + n - 8, 8);
      seen |= w;
    } else {
      for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
    }
    if ((seen & 0x8080808080808080u) == 0) return true;
  }
  return simdjson::validate_utf8(text.data(), text.size());
}

std::string utf8_lossy(std::string_view s) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += s[i++];
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t j = i + 1, got = 0;
    for (; got < need && j < s.size(); ++got, ++j) {
      const auto d = static_cast<unsigned char>(s[j]);
      if (d < (got == 0 ? lo : 0x80) || d > (got == 0 ? hi : 0xBF)) break;
    }
    if (need > 0 && got == need)
      out.append(s.substr(i, j - i));
    else
      out += kReplacement;
    i = j;
  }
  return out;
}

std::optional<std::uint64_t> parse_u64_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, std::uint64_t{10}, &v) ||
        __builtin_add_overflow(v, static_cast<std::uint64_t>(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

std::optional<std::int64_t> parse_i64_decimal(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, negative ? -digit : digit, &v))
      return std::nullopt;
  }
  return v;
}

std::optional<double> parse_f64_decimal(std::string_view text) {
  // from_chars takes no "+"; a second sign after it must still fail.
  if (text.starts_with('+') && !text.substr(1).starts_with('-')) text.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (text.empty() || end != text.data() + text.size()) return std::nullopt;
  // A well-formed number out of range is still a number: infinite, or 0 below the smallest.
  if (ec == std::errc::result_out_of_range) return std::strtod(std::string(text).c_str(), nullptr);
  if (ec != std::errc{}) return std::nullopt;
  return v;
}

std::uint64_t saturating_u64(double v) {
  if (std::isnan(v) || v <= 0) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

namespace {

std::string_view extension_of(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

// A directory that is gone, or is no directory, held nothing to count.
bool absent(int err) { return err == ENOENT || err == ENOTDIR; }

// `keep` decides by the file's name alone, so the walk stays one function for every filter.
template <class Keep>
void walk(const std::string& dir, const Keep& keep, std::vector<std::filesystem::path>& out,
          std::vector<Unlisted>* unlisted) {
  auto unseen = [&](const std::string& path, int err) {
    if (unlisted && !absent(err)) unlisted->push_back({path, err});
  };
  DIR* d = opendir(dir.c_str());
  if (!d) return unseen(dir, errno);
  for (;;) {
    errno = 0;
    dirent* e = readdir(d);
    if (!e) {
      if (errno != 0) unseen(dir, errno);
      break;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) {
        unseen(path, errno);
        continue;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) {
      walk(path, keep, out, unlisted);
    } else if (type == DT_REG && keep(name)) {
      out.emplace_back(std::move(path));
    }
  }
  closedir(d);
}

}  // namespace

void collect_files_with_extension(const std::filesystem::path& directory, std::string_view extension,
                                  std::vector<std::filesystem::path>& out, std::vector<Unlisted>* unlisted) {
  auto has_extension = [extension](std::string_view name) {
    auto ext = extension_of(name);
    return !ext.empty() && ext == extension;
  };
  walk(directory.string(), has_extension, out, unlisted);
}

void collect_files_named(const std::filesystem::path& directory, bool (*keep)(std::string_view name),
                         std::vector<std::filesystem::path>& out, std::vector<Unlisted>* unlisted) {
  walk(directory.string(), keep, out, unlisted);
}

void collect_jsonl_files(const std::filesystem::path& directory, std::vector<std::filesystem::path>& out,
                         std::vector<Unlisted>* unlisted) {
  collect_files_with_extension(directory, "jsonl", out, unlisted);
}

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
  // A trailing separator yields an empty component; "." counts only at the start.
  auto next = [](std::filesystem::path::const_iterator& it, std::filesystem::path::const_iterator begin,
                 std::filesystem::path::const_iterator end) {
    while (it != end && (it->empty() || (*it == "." && it != begin))) ++it;
  };
  auto ia = a.begin(), ib = b.begin();
  for (;;) {
    next(ia, a.begin(), a.end());
    next(ib, b.begin(), b.end());
    if (ia == a.end() || ib == b.end()) return ia == a.end() && ib == b.end();
    if (*ia != *ib) return false;
    ++ia;
    ++ib;
  }
}

std::string os_error(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer; the XSI variant fills buf.
  auto r = strerror_r(err, buf, sizeof buf);
  if constexpr (std::is_same_v<decltype(r), char*>)
    return std::string(r);
  else
    return r == 0 ? std::string(buf) : "error " + std::to_string(err);
}

std::optional<std::string> read_file(const std::filesystem::path& path, std::string* error, std::size_t spare) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = os_error(errno);
    return std::nullopt;
  }
  return read_to_end(fd, error, spare);
}

std::expected<int, std::string> open_regular(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(os_error(errno));
  struct stat st;
  std::string error;
  if (::fstat(fd, &st) != 0)
    error = os_error(errno);
  else if (S_ISDIR(st.st_mode))
    error = os_error(EISDIR);
  else if (!S_ISREG(st.st_mode))
    error = kNotRegular;
  if (error.empty()) return fd;
  ::close(fd);
  return std::unexpected(std::move(error));
}

std::optional<std::string> read_to_end(int fd, std::string* error, std::size_t spare) {
  // Read into the text itself, not through a buffer that is then copied: a file of the size
  // it had at the start is one read, and one more that finds its end, with room to spare.
  struct stat st;
  const std::size_t expected = fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  std::string data;
  std::size_t used = 0;
  auto grow_to = [&](std::size_t size) { data.resize_and_overwrite(size, [](char*, std::size_t n) { return n; }); };
  grow_to(expected > 0 ? expected + spare + 1 : 65536);
  for (;;) {
    if (used == data.size()) grow_to(2 * data.size());
    ssize_t n = ::read(fd, data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = os_error(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(used);
  return data;
}

}  // namespace qm::util
