// The serving process on Windows: the terminal and the small private files
// the command line reads. Windows has no SIGUSR1 (the statistics line comes
// from --stats-interval there) and no SIGPIPE.
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32.h"

namespace {

// Reads one byte from standard input: 1, 0 at end of input, -1 on error.
int read_byte(HANDLE in, char* out) {
  DWORD got = 0;
  if (!ReadFile(in, out, 1, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  return got == 1 ? 1 : 0;
}

}  // namespace

void tw3_signals_init() {}

int tw3_signal_usr1_taken() { return 0; }

int tw3_stdin_is_tty() { return GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR ? 1 : 0; }

int tw3_read_secret_line(const char* prompt, char* buf, size_t cap) {
  if (buf == nullptr || cap == 0) return -1;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool console = GetConsoleMode(in, &saved) != 0;
  if (console) {
    SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const char* p = prompt ? prompt : "";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), p, static_cast<DWORD>(std::strlen(p)), &written, nullptr);
  }
  size_t used = 0;
  bool any = false;
  char ch = 0;
  while (read_byte(in, &ch) == 1) {
    any = true;
    if (ch == '\n') break;
    if (used + 1 < cap) buf[used++] = ch;
  }
  if (used > 0 && buf[used - 1] == '\r') used--;
  buf[used] = '\0';
  if (console) {
    SetConsoleMode(in, saved);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\n", 1, &written, nullptr);
  }
  return any ? static_cast<int>(used) : -1;
}

int tw3_file_read_small(const char* path, char* buf, size_t cap, size_t* len, uint32_t* mode, int* err) {
  *err = 0;
  *len = 0;
  // Access is decided by the file's ACL, not by mode bits: it reads as private.
  *mode = 0600;
  std::wstring w;
  if (!tw3w::host_path(path, &w)) {
    *err = ERROR_INVALID_NAME;
    return -1;
  }
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *err = static_cast<int>(GetLastError());
    return -1;
  }
  int rc = 0;
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size) || static_cast<uint64_t>(size.QuadPart) > cap) {
    rc = -2;
  }
  while (rc == 0) {
    const size_t room = cap - *len;
    char probe;
    DWORD got = 0;
    const bool ok = room == 0 ? ReadFile(h, &probe, 1, &got, nullptr)
                              : ReadFile(h, buf + *len, room > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(room), &got, nullptr);
    if (!ok) {
      *err = static_cast<int>(GetLastError());
      rc = -1;
    } else if (got == 0) {
      break;
    } else if (room == 0) {
      rc = -2;  // grew while being read
    } else {
      *len += got;
    }
  }
  CloseHandle(h);
  return rc;
}

void tw3_os_error_text(int code, char* buf, size_t size) { tw3_sock_error_text(code, buf, size); }

void tw3_mem_trim() {}
