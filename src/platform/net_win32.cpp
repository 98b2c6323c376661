// TCP sockets on Windows (Winsock 2): the listener's and the connections'
// operations.
#include <climits>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/win32.h"
#include "platform/sockaddr.h"
#include "util/util.h"

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

thread_local int t_sock_error = 0;

// Records the last Winsock error as this thread's socket error.
template <typename T>
T fail_with_wsa(T result) {
  t_sock_error = WSAGetLastError();
  return result;
}

SOCKET sock_of(tw3_socket s) { return static_cast<SOCKET>(s); }

int set_int_option(tw3_socket s, int level, int name, int value) {
  if (setsockopt(sock_of(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
    return fail_with_wsa(-1);
  }
  return 0;
}

// Would block or was interrupted: worth another try.
bool again(int code) { return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS; }

tw3_socket from_sock(SOCKET s) { return s == INVALID_SOCKET ? TW3_NO_SOCKET : static_cast<tw3_socket>(s); }

}  // namespace

int tw3_sock_init() {
  static int result = -1;
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    result = WSAStartup(kWinsockVersion, &data) == 0 ? 0 : -1;
  });
  return result;
}

tw3_socket tw3_sock_tcp(int family) {
  if (tw3_sock_init() != 0) {
    t_sock_error = WSANOTINITIALISED;
    return TW3_NO_SOCKET;
  }
  const int domain = family == 6 ? AF_INET6 : AF_INET;
  // Not inherited by child processes, like SOCK_CLOEXEC.
  SOCKET s = WSASocketW(domain, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return fail_with_wsa(TW3_NO_SOCKET);
  return from_sock(s);
}

// SO_REUSEADDR on Windows would let another process bind the same port;
// the exclusive form refuses that and still allows a quick restart.
int tw3_sock_reuse_addr(tw3_socket s) { return set_int_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

int tw3_sock_v6only(tw3_socket s, int on) { return set_int_option(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0); }

int tw3_sock_nodelay(tw3_socket s) { return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1); }

int tw3_sock_nonblock(tw3_socket s) {
  u_long on = 1;
  if (ioctlsocket(sock_of(s), FIONBIO, &on) != 0) return fail_with_wsa(-1);
  return 0;
}

int tw3_sock_bind(tw3_socket s, const tw3_ip* ip, int as_v6, uint16_t port) {
  sockaddr_storage ss{};
  const socklen_t len = fill_sockaddr(ip, as_v6, port, &ss);
  if (len == 0) {
    t_sock_error = WSAEAFNOSUPPORT;
    return -1;
  }
  if (bind(sock_of(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) return fail_with_wsa(-1);
  return 0;
}

int tw3_sock_listen(tw3_socket s, int backlog) {
  if (listen(sock_of(s), backlog) != 0) return fail_with_wsa(-1);
  return 0;
}

int tw3_sock_local(tw3_socket s, tw3_ip* ip, int* port) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return fail_with_wsa(-1);
  if (sa_to_ip(ss, ip, port) != 0) {
    t_sock_error = WSAEAFNOSUPPORT;
    return -1;
  }
  return 0;
}

tw3_socket tw3_sock_accept(tw3_socket listener, tw3_ip* peer) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  SOCKET s = accept(sock_of(listener), reinterpret_cast<sockaddr*>(&ss), &len);
  if (s == INVALID_SOCKET) return fail_with_wsa(TW3_NO_SOCKET);
  // An accepted socket takes the listener's non-blocking mode; the
  // connection sets its own, and is not to be inherited either.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (sa_to_ip(ss, peer, nullptr) != 0) {
    closesocket(s);
    return TW3_NO_SOCKET;
  }
  return from_sock(s);
}

int tw3_sock_poll(tw3_socket s, int events, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = sock_of(s);
  // WSAPoll refuses POLLPRI; a listener reports POLLRDNORM.
  if (events & TW3_POLL_IN) p.events |= POLLRDNORM;
  if (events & TW3_POLL_OUT) p.events |= POLLWRNORM;
  const int rc = WSAPoll(&p, 1, timeout_ms);
  if (rc > 0) return 1;
  if (rc == 0) return 0;
  const int code = WSAGetLastError();
  if (code == WSAEINTR) return static_cast<int>(TW3_SOCK_AGAIN);
  t_sock_error = code;
  return static_cast<int>(TW3_SOCK_FAIL);
}

int64_t tw3_sock_send(tw3_socket s, const void* data, size_t len) {
  // No SIGPIPE exists here; send takes an int count.
  const int n = send(sock_of(s), static_cast<const char*>(data), len > INT_MAX ? INT_MAX : static_cast<int>(len), 0);
  if (n >= 0) return n;
  const int code = WSAGetLastError();
  if (again(code)) return TW3_SOCK_AGAIN;
  t_sock_error = code;
  return TW3_SOCK_FAIL;
}

int64_t tw3_sock_sendv(tw3_socket s, const tw3_iovec* parts, int count) {
  if (count < 0 || count > TW3_IOV_MAX || (count > 0 && parts == nullptr)) {
    t_sock_error = WSAEINVAL;
    return TW3_SOCK_FAIL;
  }
  WSABUF b[TW3_IOV_MAX];
  ULONG room = INT_MAX;  // the count sent comes back in a DWORD; keep it an int
  DWORD used = 0;
  for (int i = 0; i < count && room > 0; i++) {
    const ULONG len = parts[i].len < room ? static_cast<ULONG>(parts[i].len) : room;
    b[used].buf = reinterpret_cast<CHAR*>(const_cast<uint8_t*>(parts[i].data));  // only read
    b[used].len = len;
    room -= len;
    used++;
  }
  DWORD sent = 0;
  // Without an overlapped structure the call completes (or would block) at once.
  if (WSASend(sock_of(s), b, used, &sent, 0, nullptr, nullptr) == 0) return sent;
  const int code = WSAGetLastError();
  if (again(code)) return TW3_SOCK_AGAIN;
  t_sock_error = code;
  return TW3_SOCK_FAIL;
}

int64_t tw3_sock_recv(tw3_socket s, void* buf, size_t cap) {
  const int n = recv(sock_of(s), static_cast<char*>(buf), cap > INT_MAX ? INT_MAX : static_cast<int>(cap), 0);
  if (n >= 0) return n;
  const int code = WSAGetLastError();
  if (again(code)) return TW3_SOCK_AGAIN;
  t_sock_error = code;
  return TW3_SOCK_FAIL;
}

tw3_socket tw3_sock_connect(const tw3_ip* ip, uint16_t port) {
  const int as_v6 = ip->family == 6;
  tw3_socket s = tw3_sock_tcp(as_v6 ? 6 : 4);
  if (s == TW3_NO_SOCKET) return s;
  sockaddr_storage ss{};
  const socklen_t len = fill_sockaddr(ip, as_v6, port, &ss);
  if (len == 0 || connect(sock_of(s), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    t_sock_error = len == 0 ? WSAEAFNOSUPPORT : WSAGetLastError();
    closesocket(sock_of(s));
    return TW3_NO_SOCKET;
  }
  return s;
}

void tw3_sock_shutdown_close(tw3_socket s) {
  if (s == TW3_NO_SOCKET) return;
  shutdown(sock_of(s), SD_BOTH);
  closesocket(sock_of(s));
}

void tw3_sock_close(tw3_socket s) {
  if (s != TW3_NO_SOCKET) closesocket(sock_of(s));
}

int tw3_sock_error() { return t_sock_error; }

void tw3_sock_error_text(int code, char* buf, size_t size) {
  if (!buf || size == 0) return;
  const std::string text = tw3w::error_text(static_cast<unsigned long>(code));
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}
