// Waiting on several sockets at once on Windows (the metrics endpoint's one
// thread).
#include "platform/platform.h"
#include "platform/win32.h"

int tw3_sock_poll_many(const tw3_socket* socks, const int* events, int* ready, int n, int timeout_ms) {
  constexpr int kMax = 16;
  if (n < 0 || n > kMax) return static_cast<int>(TW3_SOCK_FAIL);
  WSAPOLLFD p[kMax] = {};
  for (int i = 0; i < n; i++) {
    p[i].fd = static_cast<SOCKET>(socks[i]);
    // WSAPoll refuses POLLPRI; a listener reports POLLRDNORM.
    if (events[i] & TW3_POLL_IN) p[i].events |= POLLRDNORM;
    if (events[i] & TW3_POLL_OUT) p[i].events |= POLLWRNORM;
  }
  const int rc = WSAPoll(p, static_cast<ULONG>(n), timeout_ms);
  for (int i = 0; i < n; i++) ready[i] = rc > 0 && p[i].revents != 0 ? 1 : 0;
  if (rc >= 0) return rc;
  return WSAGetLastError() == WSAEINTR ? static_cast<int>(TW3_SOCK_AGAIN) : static_cast<int>(TW3_SOCK_FAIL);
}
