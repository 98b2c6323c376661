// A small loopback client for the listener tests, on the platform sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/util.h"

namespace net_test {

constexpr int kWaitMs = 5000;  // upper bound of every wait in these tests

// Owns one connected client socket.
class client {
 public:
  client(const char* ip_text, int port) {
    tw3_ip ip{};
    if (tw3_ip_parse(ip_text, &ip) == 0) s_ = tw3_sock_connect(&ip, static_cast<uint16_t>(port));
  }
  ~client() { close(); }
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  bool ok() const { return s_ != TW3_NO_SOCKET; }
  void close() {
    tw3_sock_close(s_);
    s_ = TW3_NO_SOCKET;
  }
  bool send(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    for (int tries = 0; off < bytes.size() && tries < 1000; tries++) {
      int64_t n = tw3_sock_send(s_, bytes.data() + off, bytes.size() - off);
      if (n == TW3_SOCK_FAIL) return false;
      if (n > 0) off += static_cast<size_t>(n);
    }
    return off == bytes.size();
  }
  // Reads exactly n bytes within kWaitMs; fewer when the peer closes first.
  std::vector<uint8_t> recv_exact(size_t n) {
    std::vector<uint8_t> out;
    uint64_t end = tw3_now_ms() + kWaitMs;
    while (out.size() < n && tw3_now_ms() < end) {
      if (tw3_sock_poll(s_, TW3_POLL_IN, 100) != 1) continue;
      uint8_t buf[65536];  // large reads: wine is slow per call
      size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
      int64_t got = tw3_sock_recv(s_, buf, want);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // True when the server closes the connection (within kWaitMs).
  bool sees_close() {
    uint64_t end = tw3_now_ms() + kWaitMs;
    while (tw3_now_ms() < end) {
      if (tw3_sock_poll(s_, TW3_POLL_IN, 100) != 1) continue;
      uint8_t buf[256];
      int64_t got = tw3_sock_recv(s_, buf, sizeof buf);
      if (got == 0 || got == TW3_SOCK_FAIL) return true;
    }
    return false;
  }

 private:
  tw3_socket s_ = TW3_NO_SOCKET;
};

// Polls cond() every 10 ms for at most kWaitMs.
template <typename F>
bool eventually(F cond) {
  uint64_t end = tw3_now_ms() + kWaitMs;
  while (tw3_now_ms() < end) {
    if (cond()) return true;
    tw3_sleep_ms(10);
  }
  return cond();
}

}  // namespace net_test
