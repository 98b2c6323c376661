// The transport operations of a network connection: bounded reads and writes
// on a non-blocking socket, never waiting for ever on a silent peer.
#include <algorithm>
#include <climits>

#include "config/config.h"
#include "net/net_internal.h"

namespace {

constexpr int kWriteSliceMs = 100;  // longest single wait for a writable socket

tw3_client* client_of(void* ctx) { return static_cast<tw3_client*>(ctx); }

// Waits for `events`; a wait cut short by a signal is simply retried, since
// each wait is bounded by its timeout.
int wait_for(tw3_socket s, int events, int timeout_ms) {
  for (;;) {
    int rc = tw3_sock_poll(s, events, timeout_ms);
    if (rc != static_cast<int>(TW3_SOCK_AGAIN)) return rc;
  }
}

}  // namespace

int x_read(void* ctx, uint8_t* buf, uint32_t cap, uint32_t timeout_ms) {
  tw3_client* c = client_of(ctx);
  size_t want = std::min<uint32_t>(cap, INT_MAX);
  int timeout = static_cast<int>(std::min<uint32_t>(timeout_ms, INT_MAX));
  int64_t n = tw3_sock_recv(c->sock, buf, want);
  if (n == TW3_SOCK_AGAIN) {
    int rc = wait_for(c->sock, TW3_POLL_IN, timeout);
    if (rc == 0) return TW3_IO_TIMEOUT;
    // Readable, or the wait itself failed: one more receive decides. Still
    // nothing counts as a timeout, so a failing wait can never spin.
    n = tw3_sock_recv(c->sock, buf, want);
    if (n == TW3_SOCK_AGAIN) return TW3_IO_TIMEOUT;
  }
  if (n < 0) return -1;
  return static_cast<int>(n);
}

int x_stopping(void* /*ctx*/) { return tw3_server_stopping(); }

int x_writev(void* ctx, const tw3_iovec* parts, int count) {
  if (count < 0 || (count > 0 && parts == nullptr)) return -1;
  tw3_client* c = client_of(ctx);
  int at = 0;         // the part under way
  uint64_t off = 0;   // bytes of it already sent
  uint64_t last_progress = 0;
  int32_t limit_ms = -1;  // read from the options only once a send stalls
  for (;;) {
    while (at < count && off >= parts[at].len) at++, off = 0;  // empty parts too
    if (at == count) return 0;
    tw3_iovec window[TW3_IOV_MAX];
    window[0] = {parts[at].data + off, parts[at].len - off};
    int n_window = 1;
    for (int i = at + 1; i < count && n_window < TW3_IOV_MAX; i++) window[n_window++] = parts[i];
    int64_t n = tw3_sock_sendv(c->sock, window, n_window);
    if (n > 0) {
      for (auto left = static_cast<uint64_t>(n); left > 0 && at < count;) {
        const uint64_t rest = parts[at].len - off;
        if (left < rest) {
          off += left;
          break;
        }
        left -= rest;
        at++, off = 0;
      }
      last_progress = 0;
      continue;
    }
    if (n != TW3_SOCK_AGAIN) return -1;  // 0 or a real error
    uint64_t now = tw3_now_ms();
    if (limit_ms < 0) {
      tw3_opts o;
      tw3_opts_get(&o);
      limit_ms = o.io_timeout_ms;
    }
    if (last_progress == 0) last_progress = now;
    // A peer that stops reading must not hold this thread, nor a stop.
    uint64_t stalled = now - last_progress;
    if (stalled >= static_cast<uint64_t>(limit_ms) || tw3_server_stopping()) return -1;
    int slice = static_cast<int>(std::min<uint64_t>(kWriteSliceMs, limit_ms - stalled));
    if (wait_for(c->sock, TW3_POLL_OUT, slice) < 0) return -1;
  }
}

int x_write(void* ctx, const uint8_t* data, uint32_t len) {
  const tw3_iovec one{data, len};
  return x_writev(ctx, &one, 1);
}
