// The last-error text. Each thread has its own, so a connection thread
// refusing a client's path cannot replace the message the controlling thread
// is about to read back after its own failing call.
#include <cstdarg>
#include <cstdio>

#include "util/util.h"

namespace {

constexpr size_t kErrSize = 512;  // 511 bytes of text and the terminator
thread_local char t_err[kErrSize];

void set_error_v(const char* fmt, va_list ap) {
  if (!fmt) {
    t_err[0] = '\0';
    return;
  }
  // vsnprintf truncates to kErrSize - 1 bytes and always terminates.
  if (std::vsnprintf(t_err, kErrSize, fmt, ap) < 0) t_err[0] = '\0';
}

}  // namespace

void tw3_set_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  set_error_v(fmt, ap);
  va_end(ap);
}

int tw3_fail(int code, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  set_error_v(fmt, ap);
  va_end(ap);
  return code;
}

const char* tw3_error() { return t_err; }
