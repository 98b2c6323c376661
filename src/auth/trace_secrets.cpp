// Trace lines of the authentication steps, and keys in them. A trace is
// turned on to debug a client and may end up in a system journal or a bug
// report; a session key there lets its reader forge or read that session's
// traffic. So keys are printed only on a separate, explicit request (for
// decrypting one's own captures).
#include <cstdarg>
#include <cstdio>

#include "auth/auth.h"
#include "platform/platform.h"

namespace {

constexpr const char* kSecretsVar = "TWSMB3S_TRACE_SECRETS";
constexpr const char* kHidden = "hidden";
constexpr const char* kTraceVar = "TWSMB3S_TRACE";

}  // namespace

bool tw3_trace_secrets() {
  const char* v = tw3_getenv(kSecretsVar);
  return v != nullptr && v[0] == '1' && v[1] == '\0';
}

void tw3_trace_secret(const uint8_t* key, size_t n, tw3_buf* out) {
  if (tw3_trace_secrets()) {
    tw3_hex_encode(key, n, out);
  } else {
    tw3_buf_str(out, kHidden);
  }
}

void tw3_auth_trace(const char* fmt, ...) {
  if (tw3_getenv(kTraceVar) == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}
