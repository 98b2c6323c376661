// Console arguments and clean-stop requests on POSIX hosts.
#include <signal.h>


#include "platform/platform.h"

namespace {

volatile sig_atomic_t g_stop_requested = 0;

extern "C" void on_stop_signal(int) { g_stop_requested = 1; }

}  // namespace

int tw3_console_args(int argc, char** argv, std::vector<std::string>* out) {
  out->assign(argv, argv + argc);
  return 0;
}

void tw3_console_catch_stop() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int tw3_console_stop_requested() { return g_stop_requested != 0 ? 1 : 0; }

void tw3_console_stopped() {}  // nothing waits for it here
