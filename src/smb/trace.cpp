// Trace switches and the trace printer. Trace lines go to the standard
// error stream, only when the connection's trace flag is on.
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"
#include "smb/smb.h"

int tw3_env_flag(const char* name) {
  const char* v = tw3_getenv(name);
  return v != nullptr && v[0] == '1' ? 1 : 0;
}

void tw3_trace(const tw3_conn* c, const char* fmt, ...) {
  if (c == nullptr || !c->trace) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}
