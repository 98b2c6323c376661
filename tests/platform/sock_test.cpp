// Gather sends on a loopback connection: the parts arrive whole and in
// order, and a transfer cut short part-way resumes where it stopped.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/platform.h"
#include "util/util.h"

namespace {

constexpr uint64_t kWaitMs = 10000;  // upper bound of every wait here

// A connected pair of loopback sockets; the sending side does not block.
struct sock_pair {
  tw3_socket sender = TW3_NO_SOCKET;
  tw3_socket receiver = TW3_NO_SOCKET;
  sock_pair() {
    if (tw3_sock_init() != 0) return;
    const tw3_ip lo{4, {127, 0, 0, 1}};
    tw3_socket l = tw3_sock_tcp(4);
    tw3_ip ip{};
    int port = 0;
    if (l != TW3_NO_SOCKET && tw3_sock_bind(l, &lo, 0, 0) == 0 && tw3_sock_listen(l, 1) == 0 &&
        tw3_sock_local(l, &ip, &port) == 0) {
      sender = tw3_sock_connect(&lo, static_cast<uint16_t>(port));
      if (sender != TW3_NO_SOCKET) receiver = tw3_sock_accept(l, &ip);  // already queued
    }
    tw3_sock_close(l);
    if (sender != TW3_NO_SOCKET) tw3_sock_nonblock(sender);
  }
  ~sock_pair() {
    tw3_sock_close(sender);
    tw3_sock_close(receiver);
  }
  bool ok() const { return sender != TW3_NO_SOCKET && receiver != TW3_NO_SOCKET; }
};

// What is left of `parts` once `done` bytes of them have been sent.
std::vector<tw3_iovec> rest(const std::vector<tw3_iovec>& parts, uint64_t done) {
  std::vector<tw3_iovec> out;
  for (const tw3_iovec& p : parts) {
    if (done >= p.len) {
      done -= p.len;
      continue;
    }
    out.push_back({p.data + done, p.len - done});
    done = 0;
  }
  return out;
}

TEST(SockSendv, PartsArriveInOrderAndAPartialTransferResumes) {
  sock_pair sp;
  ASSERT_TRUE(sp.ok()) << tw3_sock_error();
  // The large part is more than both socket buffers hold, so the first
  // transfer (nobody reads yet) stops inside it.
  std::vector<uint8_t> big(32u << 20);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i * 31 + i / 251);
  const uint8_t head[4] = {0, 1, 2, 3};
  const uint8_t tf[52] = {0xFD, 'S', 'M', 'B'};
  const uint8_t tail[3] = {7, 8, 9};
  const std::vector<tw3_iovec> parts = {
      {head, sizeof head}, {tf, sizeof tf}, {nullptr, 0}, {big.data(), big.size()}, {tail, sizeof tail}};
  std::vector<uint8_t> want;
  for (const tw3_iovec& p : parts) want.insert(want.end(), p.data, p.data + p.len);

  const int64_t first = tw3_sock_sendv(sp.sender, parts.data(), static_cast<int>(parts.size()));
  ASSERT_GT(first, 0);
  ASSERT_LT(static_cast<uint64_t>(first), want.size());

  std::vector<uint8_t> got;
  std::thread reader([&] {
    std::vector<uint8_t> buf(1 << 16);
    const uint64_t end = tw3_now_ms() + kWaitMs;
    while (got.size() < want.size() && tw3_now_ms() < end) {
      if (tw3_sock_poll(sp.receiver, TW3_POLL_IN, 100) != 1) continue;
      const int64_t n = tw3_sock_recv(sp.receiver, buf.data(), buf.size());
      if (n <= 0) break;
      got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
  });
  uint64_t done = static_cast<uint64_t>(first);
  const uint64_t end = tw3_now_ms() + kWaitMs;
  while (done < want.size() && tw3_now_ms() < end) {
    const std::vector<tw3_iovec> left = rest(parts, done);
    const int64_t n = tw3_sock_sendv(sp.sender, left.data(), static_cast<int>(left.size()));
    if (n == TW3_SOCK_FAIL) break;
    if (n > 0)
      done += static_cast<uint64_t>(n);
    else
      tw3_sock_poll(sp.sender, TW3_POLL_OUT, 100);
  }
  reader.join();
  EXPECT_EQ(done, want.size());
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);  // not EXPECT_EQ: a mismatch would print 32 MiB
}

TEST(SockSendv, RefusesMorePartsThanItTakes) {
  sock_pair sp;
  ASSERT_TRUE(sp.ok()) << tw3_sock_error();
  const uint8_t one = 1;
  std::vector<tw3_iovec> parts(TW3_IOV_MAX + 1, tw3_iovec{&one, 1});
  EXPECT_EQ(tw3_sock_sendv(sp.sender, parts.data(), TW3_IOV_MAX + 1), TW3_SOCK_FAIL);
  EXPECT_EQ(tw3_sock_sendv(sp.sender, parts.data(), TW3_IOV_MAX), TW3_IOV_MAX);
}

}  // namespace
