// The serving process on POSIX hosts: signals, the terminal, and the small
// private files the command line reads (its configuration file).
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace {

constexpr int kArenas = 1;  // the main heap only
// Blocks up to this size come from the heap, so every reply (at most twice
// the 1 MiB MaxReadSize plus 64 KiB) and receive buffer reuses the space
// the previous message freed; larger ones (a big folder's listing) are
// mapped on their own and go back to the host when freed. No higher: the
// heap holds on to freed blocks below it until the server is idle.
constexpr int kMmapThreshold = (2 << 20) + (256 << 10);  // bytes
// Free space on top of the heap kept for the next messages' buffers while
// the server is busy; an idle server trims all of it.
constexpr int kTrimThreshold = 2 * kMmapThreshold;

volatile sig_atomic_t g_usr1 = 0;

void on_usr1(int) { g_usr1 = 1; }


// Reads one byte from standard input: 1, 0 at end of input, -1 on error.
int read_byte(char* out) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, out, 1);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

int read_line(char* buf, size_t cap) {
  size_t used = 0;
  bool any = false;
  char ch = 0;
  while (read_byte(&ch) == 1) {
    any = true;
    if (ch == '\n') break;
    if (used + 1 < cap) buf[used++] = ch;
  }
  if (used > 0 && buf[used - 1] == '\r') used--;
  buf[used] = '\0';
  return any ? static_cast<int>(used) : -1;
}

void write_stderr(const char* text) {
  ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
  (void)n;  // a prompt that cannot be shown changes nothing
}

}  // namespace

void tw3_signals_init() {
  struct sigaction sa {};
  sa.sa_handler = on_usr1;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int tw3_signal_usr1_taken() {
  if (!g_usr1) return 0;
  g_usr1 = 0;
  return 1;
}

int tw3_stdin_is_tty() { return isatty(STDIN_FILENO) ? 1 : 0; }

int tw3_read_secret_line(const char* prompt, char* buf, size_t cap) {
  if (buf == nullptr || cap == 0) return -1;
  termios saved{};
  bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    write_stderr(prompt ? prompt : "");
  }
  int n = read_line(buf, cap);
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return n;
}

int tw3_file_read_small(const char* path, char* buf, size_t cap, size_t* len, uint32_t* mode, int* err) {
  *err = 0;
  *len = 0;
  *mode = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  struct stat st {};
  int rc = 0;
  if (fstat(fd, &st) != 0) {
    *err = errno;
    rc = -1;
  } else if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > cap) {
    rc = -2;
  }
  *mode = static_cast<uint32_t>(st.st_mode) & 0777u;
  while (rc == 0) {
    if (*len == cap) {
      char probe;
      ssize_t more = read(fd, &probe, 1);
      if (more > 0) rc = -2;  // grew while being read
      break;
    }
    ssize_t n = read(fd, buf + *len, cap - *len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = errno;
      rc = -1;
    } else if (n == 0) {
      break;
    } else {
      *len += static_cast<size_t>(n);
    }
  }
  close(fd);
  return rc;
}

void tw3_os_error_text(int code, char* buf, size_t size) { tw3_sock_error_text(code, buf, size); }

void tw3_posix_tune_heap() {
#ifdef __GLIBC__
  // glibc gives threads that contend heaps of their own (up to eight per
  // core), and malloc_trim hands back the free top of the main heap only:
  // what a thousand connection threads freed into another heap stayed
  // resident for the life of the process. Connection threads mostly wait on
  // the network and reuse their buffers, so sharing the main heap costs no
  // measurable throughput, and an idle server trims back to its cold size.
  // Fixed thresholds, because glibc's own follow the largest block freed
  // (up to 32 MiB mapped per block, 64 MiB kept on the heap's top).
  static std::once_flag tuned;
  std::call_once(tuned, [] {
    ::mallopt(M_ARENA_MAX, kArenas);
    ::mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
  });
#endif
}

void tw3_mem_trim() {
#ifdef __GLIBC__
  tw3_posix_tune_heap();
  ::malloc_trim(0);
#endif
}
