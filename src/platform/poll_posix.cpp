// Waiting on several sockets at once (the metrics endpoint's one thread).
#include <poll.h>

#include <cerrno>

#include "platform/platform.h"

int tw3_sock_poll_many(const tw3_socket* socks, const int* events, int* ready, int n, int timeout_ms) {
  constexpr int kMax = 16;
  if (n < 0 || n > kMax) return static_cast<int>(TW3_SOCK_FAIL);
  pollfd p[kMax] = {};
  for (int i = 0; i < n; i++) {
    p[i].fd = static_cast<int>(socks[i]);
    if (events[i] & TW3_POLL_IN) p[i].events |= POLLIN | POLLPRI;
    if (events[i] & TW3_POLL_OUT) p[i].events |= POLLOUT;
  }
  int rc = poll(p, static_cast<nfds_t>(n), timeout_ms);
  for (int i = 0; i < n; i++) ready[i] = rc > 0 && p[i].revents != 0 ? 1 : 0;
  if (rc >= 0) return rc;
  return errno == EINTR ? static_cast<int>(TW3_SOCK_AGAIN) : static_cast<int>(TW3_SOCK_FAIL);
}
