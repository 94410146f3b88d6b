#include "terminal/width.h"

#include <utf8proc.h>

namespace qm::terminal::width {

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    if (*p == 0x1B) {
      if (left >= 2 && p[1] == '[') {
        utf8proc_ssize_t i = 2;
        while (i < left && !((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= 'a' && p[i] <= 'z'))) ++i;
        if (i >= left) return width;
        p += i + 1;
        left -= i + 1;
      } else {
        ++p;
        --left;
      }
      continue;
    }
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {  // not UTF-8: one column per stray byte, like a replacement character
      width += 1;
      ++p;
      --left;
      continue;
    }
    if (cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F)) {
      int w = utf8proc_charwidth(cp);
      if (w > 0) width += static_cast<std::size_t>(w);
    }
    p += n;
    left -= n;
  }
  return width;
}

}  // namespace qm::terminal::width
