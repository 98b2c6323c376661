// What `serve` does while it serves: nothing but answer SIGUSR1 and the
// --stats-interval clock with the statistics line on standard error, until
// a request to end arrives (Ctrl+C, SIGTERM, the console closing).
#include <cstdio>

#include "cli/cli.h"
#include "platform/platform.h"
#include "twsmb3s.h"

namespace tw3cli {
namespace {

constexpr uint32_t kServeSleepMs = 100;
constexpr uint64_t kMsPerSecond = 1000;

}  // namespace

void serve_forever(uint32_t interval_s) {
  const uint64_t period = interval_s * kMsPerSecond;
  uint64_t next = tw3_now_ms() + period;
  while (tw3_console_stop_requested() == 0) {
    tw3_sleep_ms(kServeSleepMs);
    bool due = period != 0 && tw3_now_ms() >= next;
    if (due) next = tw3_now_ms() + period;
    if (tw3_signal_usr1_taken() || due) {
      std::fprintf(stderr, "%s\n", twsmb3s_stats_json());
      std::fflush(stderr);
    }
  }
}

}  // namespace tw3cli
