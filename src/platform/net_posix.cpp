// TCP sockets on POSIX hosts: the listener's and the connections' operations.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/platform.h"
#include "platform/sockaddr.h"
#include "util/util.h"

namespace {

thread_local int t_sock_error = 0;

// Records errno as this thread's socket error and hands back `result`.
template <typename T>
T fail_with_errno(T result) {
  t_sock_error = errno;
  return result;
}

int fd_of(tw3_socket s) { return static_cast<int>(s); }

int set_int_option(tw3_socket s, int level, int name, int value) {
  if (setsockopt(fd_of(s), level, name, &value, sizeof value) != 0) return fail_with_errno(-1);
  return 0;
}

}  // namespace

int tw3_sock_init() { return 0; }  // nothing to start on POSIX hosts

tw3_socket tw3_sock_tcp(int family) {
  int domain = family == 6 ? AF_INET6 : AF_INET;
  int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return fail_with_errno(TW3_NO_SOCKET);
  return fd;
}

int tw3_sock_reuse_addr(tw3_socket s) { return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int tw3_sock_v6only(tw3_socket s, int on) {
  return set_int_option(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int tw3_sock_nodelay(tw3_socket s) { return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1); }

int tw3_sock_nonblock(tw3_socket s) {
  int flags = fcntl(fd_of(s), F_GETFL, 0);
  if (flags < 0 || fcntl(fd_of(s), F_SETFL, flags | O_NONBLOCK) != 0) return fail_with_errno(-1);
  return 0;
}

int tw3_sock_bind(tw3_socket s, const tw3_ip* ip, int as_v6, uint16_t port) {
  sockaddr_storage ss{};
  socklen_t len = fill_sockaddr(ip, as_v6, port, &ss);
  if (len == 0) {
    t_sock_error = EAFNOSUPPORT;
    return -1;
  }
  if (bind(fd_of(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) return fail_with_errno(-1);
  return 0;
}

int tw3_sock_listen(tw3_socket s, int backlog) {
  if (listen(fd_of(s), backlog) != 0) return fail_with_errno(-1);
  return 0;
}

int tw3_sock_local(tw3_socket s, tw3_ip* ip, int* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return fail_with_errno(-1);
  if (sa_to_ip(ss, ip, port) != 0) {
    t_sock_error = EAFNOSUPPORT;
    return -1;
  }
  return 0;
}

tw3_socket tw3_sock_accept(tw3_socket listener, tw3_ip* peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd = accept4(fd_of(listener), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  if (fd < 0) return fail_with_errno(TW3_NO_SOCKET);
  if (sa_to_ip(ss, peer, nullptr) != 0) {
    close(fd);
    return TW3_NO_SOCKET;
  }
  return fd;
}

int tw3_sock_poll(tw3_socket s, int events, int timeout_ms) {
  pollfd p{};
  p.fd = fd_of(s);
  if (events & TW3_POLL_IN) p.events |= POLLIN | POLLPRI;
  if (events & TW3_POLL_OUT) p.events |= POLLOUT;
  int rc = poll(&p, 1, timeout_ms);
  if (rc > 0) return 1;
  if (rc == 0) return 0;
  if (errno == EINTR) return static_cast<int>(TW3_SOCK_AGAIN);
  return fail_with_errno(static_cast<int>(TW3_SOCK_FAIL));
}

int64_t tw3_sock_send(tw3_socket s, const void* data, size_t len) {
  ssize_t n = send(fd_of(s), data, len, MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return TW3_SOCK_AGAIN;
  return fail_with_errno(TW3_SOCK_FAIL);
}

int64_t tw3_sock_sendv(tw3_socket s, const tw3_iovec* parts, int count) {
  if (count < 0 || count > TW3_IOV_MAX || (count > 0 && parts == nullptr)) {
    t_sock_error = EINVAL;
    return TW3_SOCK_FAIL;
  }
  iovec v[TW3_IOV_MAX];
  size_t room = INT_MAX;  // the result stays an int, as tw3_sock_send's on Windows
  int used = 0;
  for (int i = 0; i < count && room > 0; i++) {
    const size_t len = parts[i].len < room ? static_cast<size_t>(parts[i].len) : room;
    v[used].iov_base = const_cast<uint8_t*>(parts[i].data);  // sendmsg only reads it
    v[used].iov_len = len;
    room -= len;
    used++;
  }
  msghdr m{};
  m.msg_iov = v;
  m.msg_iovlen = static_cast<size_t>(used);
  ssize_t n = sendmsg(fd_of(s), &m, MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return TW3_SOCK_AGAIN;
  return fail_with_errno(TW3_SOCK_FAIL);
}

int64_t tw3_sock_recv(tw3_socket s, void* buf, size_t cap) {
  ssize_t n = recv(fd_of(s), buf, cap, 0);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return TW3_SOCK_AGAIN;
  return fail_with_errno(TW3_SOCK_FAIL);
}

tw3_socket tw3_sock_connect(const tw3_ip* ip, uint16_t port) {
  int as_v6 = ip->family == 6;
  tw3_socket s = tw3_sock_tcp(as_v6 ? 6 : 4);
  if (s == TW3_NO_SOCKET) return s;
  sockaddr_storage ss{};
  socklen_t len = fill_sockaddr(ip, as_v6, port, &ss);
  if (len == 0 || connect(fd_of(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    t_sock_error = len == 0 ? EAFNOSUPPORT : errno;
    close(fd_of(s));
    return TW3_NO_SOCKET;
  }
  return s;
}

void tw3_sock_shutdown_close(tw3_socket s) {
  if (s == TW3_NO_SOCKET) return;
  shutdown(fd_of(s), SHUT_RDWR);
  close(fd_of(s));
}

void tw3_sock_close(tw3_socket s) {
  if (s != TW3_NO_SOCKET) close(fd_of(s));
}

int tw3_sock_error() { return t_sock_error; }

void tw3_sock_error_text(int code, char* buf, size_t size) {
  if (!buf || size == 0) return;
  // The GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(code, buf, size);
  if (text != buf) {
    std::strncpy(buf, text, size - 1);
    buf[size - 1] = '\0';
  }
}
