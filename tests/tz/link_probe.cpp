// Built like the program: it links the core library and names nothing of the POSIX-rule
// zone source, yet cctz must find that source in place of its own default.
#include <stdlib.h>

#include <cctz/civil_time.h>
#include <cctz/time_zone.h>
#include <cstdio>

int main() {
  const auto july = cctz::convert(cctz::civil_second(2024, 7, 1, 0, 0, 0), cctz::utc_time_zone());
  cctz::time_zone rule;
  if (!cctz::load_time_zone("EST5EDT,M3.2.0,M11.1.0", &rule) || rule.lookup(july).offset != -4 * 3600) {
    std::fputs("cctz did not read the POSIX rule EST5EDT,M3.2.0,M11.1.0\n", stderr);
    return 1;
  }
  setenv("TZ", "JST-9", 1);
  if (cctz::local_time_zone().lookup(july).offset != 9 * 3600) {
    std::fputs("cctz did not take TZ=JST-9 as the system zone\n", stderr);
    return 1;
  }
  return 0;
}
