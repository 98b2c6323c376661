// Clock, random source and environment on POSIX hosts.
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

uint64_t tw3_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t tw3_unix_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

int tw3_os_random(void* buf, size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return 0;
}

const char* tw3_getenv(const char* name) { return std::getenv(name); }
