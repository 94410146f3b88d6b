// The byte scans give what the standard library (or a plain loop) gives, with the widest
// vectors the processor offers and with the narrowest, at any start and any batch size.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fast.h"
#include "support.h"

namespace {

struct Scans {
  std::size_t (*find)(std::string_view, std::string_view, std::size_t);
  std::size_t (*all)(std::string_view, std::string_view, std::size_t, std::span<std::size_t>);
  std::size_t (*last)(std::string_view, char);
  std::size_t (*count)(std::string_view, char, char);
  std::size_t (*escape)(std::string_view, std::size_t);
};

constexpr std::array<Scans, 2> kScans{{
    {qm::fast::find_text, qm::fast::find_all, qm::fast::find_last, qm::fast::count_either, qm::fast::find_name_escape},
    {qm::fast::narrow::find_text, qm::fast::narrow::find_all, qm::fast::narrow::find_last,
     qm::fast::narrow::count_either, qm::fast::narrow::find_name_escape},
}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto from = input.ConsumeIntegralInRange<std::size_t>(0, 300);
  const auto batch = input.ConsumeIntegralInRange<std::size_t>(1, 70);
  const char a = input.ConsumeIntegral<char>(), b = input.ConsumeIntegral<char>();
  const std::string needle = input.ConsumeRandomLengthString(40);
  const std::string text = input.ConsumeRemainingBytesAsString();
  const std::string_view t(text);

  std::vector<std::size_t> wanted;  // every match, overlapping ones too
  if (!needle.empty())
    for (std::size_t at = t.find(needle, from); at != std::string_view::npos; at = t.find(needle, at + 1))
      wanted.push_back(at);
  const auto either = static_cast<std::size_t>(std::count_if(t.begin(), t.end(), [&](char c) { return c == a || c == b; }));
  std::size_t name_escape = std::string_view::npos;  // "\u00" and '2' or '4' to '7'
  for (std::size_t i = from; i + 5 <= t.size() && name_escape == std::string_view::npos; ++i)
    if (t.substr(i, 4) == "\\u00" && (t[i + 4] == '2' || (t[i + 4] >= '4' && t[i + 4] <= '7'))) name_escape = i;

  for (const Scans& scan : kScans) {
    FUZZ_CHECK(scan.find(t, needle, from) == t.find(needle, from));
    if (!needle.empty()) {
      std::vector<std::size_t> got, some(batch);
      for (std::size_t start = from, n = batch; n == batch; start = got.back() + 1) {
        n = scan.all(t, needle, start, some);
        FUZZ_CHECK(n <= batch);
        got.insert(got.end(), some.begin(), some.begin() + static_cast<std::ptrdiff_t>(n));
        if (got.empty()) break;
      }
      FUZZ_CHECK(got == wanted);
    }
    FUZZ_CHECK(scan.last(t, a) == t.rfind(a));
    FUZZ_CHECK(scan.count(t, a, b) == either);
    FUZZ_CHECK(scan.escape(t, from) == name_escape);
  }
  return 0;
}
