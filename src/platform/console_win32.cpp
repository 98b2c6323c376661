// Console arguments, UTF-8 output and clean-stop requests on Windows.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32.h"

#include <shellapi.h>  // after windows.h, whose types it uses

namespace {

constexpr DWORD kCloseWaitMs = 4000;  // Windows kills the process about 5 s after a close

std::atomic<int> g_stop_requested{0};
HANDLE g_stopped = nullptr;  // set by tw3_console_stopped

BOOL WINAPI on_console_event(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_stop_requested = 1;
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stop_requested = 1;
      // Returning ends the process at once: wait for the clean stop first.
      if (g_stopped != nullptr) WaitForSingleObject(g_stopped, kCloseWaitMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int tw3_console_args(int, char**, std::vector<std::string>* out) {
  SetConsoleOutputCP(CP_UTF8);
  // Bytes in and out as they are: text mode would put a CR before every
  // line feed written (a transcript would differ from the Linux one) and
  // end reading at a Ctrl+Z byte.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  int n = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wargv == nullptr) return -1;
  std::vector<std::string> args;
  bool ok = true;
  for (int i = 0; i < n && ok; ++i) {
    std::string a;
    ok = tw3w::to_utf8(wargv[i], &a);
    args.push_back(std::move(a));
  }
  LocalFree(wargv);
  if (!ok) return -1;
  *out = std::move(args);
  return 0;
}

void tw3_console_catch_stop() {
  if (g_stopped == nullptr) g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

int tw3_console_stop_requested() { return g_stop_requested.load(); }

void tw3_console_stopped() {
  if (g_stopped != nullptr) SetEvent(g_stopped);
}
