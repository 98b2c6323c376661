// The listener on real loopback sockets: start and stop, refusals, the
// client limit, both address families, and peers that stop reading.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/net.h"
#include "net/net_client.h"
#include "smb/smb.h"

namespace {

using net_test::client;
using net_test::eventually;

// What the last connection loop was handed.
tw3_mutex g_seen_lock;
tw3_ip g_seen_peer{};
std::string g_seen_local;

void remember(const tw3_ip* peer, const char* local_text) {
  tw3_lock_guard lk(g_seen_lock);
  g_seen_peer = *peer;
  g_seen_local = local_text ? local_text : "";
}

tw3_ip seen_peer() {
  tw3_lock_guard lk(g_seen_lock);
  return g_seen_peer;
}

// Echoes every byte until the peer closes or the server stops.
void echo_runner(const tw3_io* io, const tw3_ip* peer, const char* local_text, int32_t) {
  remember(peer, local_text);
  uint8_t buf[4096];
  for (;;) {
    int n = io->read(io->ctx, buf, sizeof buf, 100);
    if (n == TW3_IO_TIMEOUT) {
      if (tw3_server_stopping()) return;
      continue;
    }
    if (n <= 0 || io->write(io->ctx, buf, static_cast<uint32_t>(n)) != 0) return;
  }
}

// Writes without end to a peer that reads nothing, until a write fails.
std::atomic<int> g_flood_chunks{0};
std::atomic<int> g_flood_ended{0};
void flood_runner(const tw3_io* io, const tw3_ip*, const char*, int32_t) {
  static uint8_t chunk[65536];
  while (io->write(io->ctx, chunk, sizeof chunk) == 0) g_flood_chunks++;
  g_flood_ended = 1;
}

// One gather write of more parts than one transfer takes, empty parts and
// a part larger than the socket buffers among them. Every byte tells its
// part and place, so a part resent, skipped or resumed at the wrong offset
// shows.
constexpr int kGatherParts = TW3_IOV_MAX + 5;
constexpr uint64_t kGatherBig = 8u << 20;  // well beyond loopback socket buffers
uint64_t gather_len(int i) { return i == 3 ? kGatherBig : i % 4 == 1 ? 0 : static_cast<uint64_t>(i) + 1; }
std::vector<uint8_t> gather_part(int i) {
  std::vector<uint8_t> d(gather_len(i));
  for (size_t j = 0; j < d.size(); j++) d[j] = static_cast<uint8_t>(i * 37 + j * 7 + j / 251);
  return d;
}
std::atomic<int> g_gather_rc{1};
void gather_runner(const tw3_io* io, const tw3_ip*, const char*, int32_t) {
  std::vector<std::vector<uint8_t>> data;
  std::vector<tw3_iovec> parts;
  for (int i = 0; i < kGatherParts; i++) data.push_back(gather_part(i));
  for (const auto& d : data) parts.push_back({d.data(), d.size()});
  g_gather_rc = io->writev(io->ctx, parts.data(), kGatherParts);
}

class Listener : public ::testing::Test {
 protected:
  void SetUp() override {
    tw3_config_reset_for_tests();
    tw3_net_set_runner_for_tests(echo_runner);
  }
  void TearDown() override {
    tw3_net_stop();
    tw3_net_set_runner_for_tests(nullptr);
    tw3_config_reset_for_tests();
  }
  static bool echoes(client& c, uint8_t byte) {
    return c.send({byte}) && c.recv_exact(1) == std::vector<uint8_t>{byte};
  }
  static bool ipv6_available() {
    tw3_socket s = tw3_sock_tcp(6);
    tw3_sock_close(s);
    return s != TW3_NO_SOCKET;
  }
};

TEST_F(Listener, StartsStopsAndRestartsOnAFreePort) {
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
    int port = tw3_net_port();
    ASSERT_GT(port, 0);
    // A second start is refused and leaves the first server serving.
    EXPECT_EQ(tw3_net_start("127.0.0.1", 0, nullptr), TW3_ERUNNING);
    EXPECT_EQ(std::string(tw3_error()), "start: already running on port " + std::to_string(port));
    client c("127.0.0.1", port);
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(echoes(c, static_cast<uint8_t>(round)));
    tw3_net_stop();
    EXPECT_EQ(tw3_net_port(), 0);
    EXPECT_EQ(tw3_net_client_count(), 0);
    EXPECT_TRUE(c.sees_close());
    tw3_net_stop();  // stopping a stopped server does nothing
  }
}

TEST_F(Listener, RefusesBadArgumentsBeforeOpeningAnything) {
  const std::string long_name(64, 'a');
  struct row {
    const char* bind;
    uint32_t port;
    const char* name;
    const char* message;
  } rows[] = {
      {"not-an-ip", 0, nullptr, "start: not-an-ip is not an IP address"},
      {"127.0.0.1", 65536, nullptr, "start: port out of range"},
      {"127.0.0.1", 0, "", "start: server_name 1..63 bytes"},
      {"127.0.0.1", 0, long_name.c_str(), "start: server_name 1..63 bytes"},
      {"127.0.0.1", 0, "tab\there", "start: server_name printable ASCII only"},
      {"127.0.0.1", 0, "del\x7f", "start: server_name printable ASCII only"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(tw3_net_start(r.bind, r.port, r.name), TW3_EINVAL) << r.message;
    EXPECT_STREQ(tw3_error(), r.message);
    EXPECT_EQ(tw3_net_port(), 0);
  }
  // A good name is stored as the option.
  ASSERT_EQ(tw3_net_start("127.0.0.1", 0, "FILES-1"), 0) << tw3_error();
  tw3_opts o;
  tw3_opts_get(&o);
  EXPECT_STREQ(o.server_name, "FILES-1");
}

TEST_F(Listener, AddressThatIsNotLocalFailsThenAGoodOneStarts) {
  EXPECT_EQ(tw3_net_start("192.0.2.1", 0, nullptr), TW3_ESYS);
  EXPECT_EQ(std::strncmp(tw3_error(), "start: bind failed (", 20), 0) << tw3_error();
  EXPECT_EQ(tw3_net_port(), 0);
  ASSERT_EQ(tw3_net_start("127.0.0.1", 0, nullptr), 0) << tw3_error();
  client c("127.0.0.1", tw3_net_port());
  EXPECT_TRUE(echoes(c, 7));
}

TEST_F(Listener, NoSecondListenerOnTheSameAddressAndPort) {
  ASSERT_EQ(tw3_net_start("127.0.0.1", 0, nullptr), 0) << tw3_error();
  tw3_ip ip{};
  ASSERT_EQ(tw3_ip_parse("127.0.0.1", &ip), 0);
  tw3_socket s = tw3_sock_tcp(4);
  ASSERT_NE(s, TW3_NO_SOCKET);
  tw3_sock_reuse_addr(s);
  EXPECT_NE(tw3_sock_bind(s, &ip, 0, static_cast<uint16_t>(tw3_net_port())), 0);
  tw3_sock_close(s);
}

TEST_F(Listener, ClientLimitRefusesTheExtraClientUntilOneLeaves) {
  ASSERT_EQ(tw3_set_option("max_clients", "1"), 0) << tw3_error();
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  int port = tw3_net_port();
  int64_t refused = tw3_stat_get(ST_REFUSED_FULL);
  auto first = std::make_unique<client>("127.0.0.1", port);
  ASSERT_TRUE(echoes(*first, 1));
  client second("127.0.0.1", port);
  EXPECT_TRUE(second.sees_close());
  EXPECT_EQ(tw3_stat_get(ST_REFUSED_FULL), refused + 1);
  EXPECT_EQ(tw3_net_client_count(), 1);
  first.reset();
  ASSERT_TRUE(eventually([] { return tw3_net_client_count() == 0; }));
  client third("127.0.0.1", port);
  EXPECT_TRUE(echoes(third, 3));
}

TEST_F(Listener, CountsEveryConnectionWhileItIsServed) {
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  int port = tw3_net_port();
  {
    client a("127.0.0.1", port), b("127.0.0.1", port), c("127.0.0.1", port);
    ASSERT_TRUE(echoes(a, 1) && echoes(b, 2) && echoes(c, 3));
    EXPECT_EQ(tw3_net_client_count(), 3);
  }
  EXPECT_TRUE(eventually([] { return tw3_net_client_count() == 0; }));
}

TEST_F(Listener, ServesIpv6Loopback) {
  if (!ipv6_available()) GTEST_SKIP() << "no IPv6 on this host";
  ASSERT_EQ(tw3_net_start("::1", 0, nullptr), 0) << tw3_error();
  client c("::1", tw3_net_port());
  ASSERT_TRUE(echoes(c, 6));
  EXPECT_EQ(seen_peer().family, 6);
  tw3_lock_guard lk(g_seen_lock);
  EXPECT_EQ(g_seen_local, "::1");
}

TEST_F(Listener, AnyIpv6AddressAlsoServesIpv4AsFamily4) {
  if (!ipv6_available()) GTEST_SKIP() << "no IPv6 on this host";
  ASSERT_EQ(tw3_net_start("::", 0, nullptr), 0) << tw3_error();
  int port = tw3_net_port();
  client v4("127.0.0.1", port);
  ASSERT_TRUE(echoes(v4, 4));
  tw3_ip p = seen_peer();
  EXPECT_EQ(p.family, 4);
  EXPECT_EQ(tw3_ip_is_loopback(&p), 1);
  {
    tw3_lock_guard lk(g_seen_lock);
    EXPECT_EQ(g_seen_local, "127.0.0.1");
  }
  client v6("::1", port);
  ASSERT_TRUE(echoes(v6, 6));
  EXPECT_EQ(seen_peer().family, 6);
}

TEST_F(Listener, StopEndsEngineConnectionsAndJoinsTheirThreads) {
  tw3_net_set_runner_for_tests(nullptr);  // the real connection loop
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  int port = tw3_net_port();
  const std::vector<uint8_t> session_request = {0x81, 0, 0, 4, 'n', 'a', 'm', 'e'};
  const std::vector<uint8_t> positive = {0x82, 0, 0, 0};
  client a("127.0.0.1", port), b("127.0.0.1", port), c("127.0.0.1", port);
  for (client* x : {&a, &b, &c}) {
    ASSERT_TRUE(x->send(session_request));
    EXPECT_EQ(x->recv_exact(4), positive);
  }
  EXPECT_EQ(tw3_net_client_count(), 3);
  tw3_net_stop();
  EXPECT_EQ(tw3_net_client_count(), 0);
  for (client* x : {&a, &b, &c}) EXPECT_TRUE(x->sees_close());
}

TEST_F(Listener, GatherWriteSendsEveryPartOnceInOrder) {
  tw3_net_set_runner_for_tests(gather_runner);
  g_gather_rc = 1;
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  client c("127.0.0.1", tw3_net_port());
  std::vector<uint8_t> want;
  for (int i = 0; i < kGatherParts; i++) {
    const std::vector<uint8_t> d = gather_part(i);
    want.insert(want.end(), d.begin(), d.end());
  }
  const std::vector<uint8_t> got = c.recv_exact(want.size());
  EXPECT_TRUE(got == want) << got.size() << " of " << want.size() << " bytes";
  EXPECT_TRUE(eventually([] { return g_gather_rc.load() == 0; }));
  EXPECT_TRUE(c.sees_close());
}

TEST_F(Listener, PeerThatStopsReadingIsDroppedAfterTheIoTimeout) {
  ASSERT_EQ(tw3_set_option("io_timeout_ms", "200"), 0) << tw3_error();
  tw3_net_set_runner_for_tests(flood_runner);
  g_flood_ended = 0;
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  client silent("127.0.0.1", tw3_net_port());
  ASSERT_TRUE(silent.ok());
  EXPECT_TRUE(eventually([] { return g_flood_ended.load() == 1; }));
  EXPECT_TRUE(eventually([] { return tw3_net_client_count() == 0; }));
}

TEST_F(Listener, StopDoesNotWaitForAPeerThatStopsReading) {
  ASSERT_EQ(tw3_set_option("io_timeout_ms", "3600000"), 0) << tw3_error();
  tw3_net_set_runner_for_tests(flood_runner);
  g_flood_chunks = 0;
  g_flood_ended = 0;
  ASSERT_EQ(tw3_net_start(nullptr, 0, nullptr), 0) << tw3_error();
  client silent("127.0.0.1", tw3_net_port());
  ASSERT_TRUE(eventually([] { return g_flood_chunks.load() > 0; }));
  tw3_net_stop();  // returns although the peer never reads
  EXPECT_EQ(g_flood_ended.load(), 1);
  EXPECT_EQ(tw3_net_client_count(), 0);
}

}  // namespace
